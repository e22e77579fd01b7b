#include "StandInTestSupport.h"

#include <unistd.h>

#include <fstream>
#include <vector>

PatternImage::PatternImage(const std::string& Name, uint64_t Length) {
  const char* Folder = std::getenv("TMPDIR");
  Path_ = std::string(Folder ? Folder : "/tmp") + "/hk-" + std::to_string(::getpid()) + "-" + Name;
  std::vector<char> Bytes(Length);
  for (uint64_t Offset = 0; Offset < Length; ++Offset) Bytes[Offset] = (char)PatternByte(Offset);
  std::ofstream(Path_, std::ios::binary).write(Bytes.data(), (std::streamsize)Bytes.size());
}

PatternImage::~PatternImage() { std::remove(Path_.c_str()); }

namespace {
PDRIVER_DISPATCH ChosenDispatch;
NTSTATUS TestDriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH& Dispatch : Driver->MajorFunction) Dispatch = ChosenDispatch;
  return STATUS_SUCCESS;
}
}  // namespace

PDRIVER_OBJECT LoadTestDriver(PDRIVER_DISPATCH Dispatch) {
  ChosenDispatch = Dispatch;
  PDRIVER_OBJECT Driver = nullptr;
  EXPECT_EQ(HkLoadDriver(TestDriverEntry, u"\\Driver\\Test", &Driver), STATUS_SUCCESS);
  return Driver;
}

PDEVICE_OBJECT CreateTestDevice(PDRIVER_OBJECT Driver, const char16_t* Name, DEVICE_TYPE Type, ULONG ExtensionSize) {
  PDEVICE_OBJECT Device = nullptr;
  HkRunInSystemThread([&] {
    std::u16string Text = Name ? Name : u"";
    UNICODE_STRING DeviceName{(USHORT)(Text.size() * 2), (USHORT)(Text.size() * 2), (PWSTR)Text.data()};
    EXPECT_EQ(IoCreateDevice(Driver, ExtensionSize, Name ? &DeviceName : nullptr, Type, 0, FALSE, &Device),
              STATUS_SUCCESS);
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
  });
  return Device;
}

void ExpectNothingAlive() {
  HkWaitForWorkQueueIdle();
  EXPECT_EQ(HkPoolLeakReport(), "");
  EXPECT_EQ(HkLiveFileObjects(), 0u);
}
