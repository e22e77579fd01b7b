// The driver loaded into the stand-in for one test process, with the pool it holds for
// its lifetime as the baseline every test must end at; and a volume made the way mount
// will make one, over a disk image, with handles of chosen open kinds.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QdrlProcs.h"
#include "hostkernel/FrontEnd.h"

class LoadedDriver : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sends a request of Major to Device without a file object and returns its status.
  static NTSTATUS SendBareRequest(PDEVICE_OBJECT Device, UCHAR Major);

 private:
  std::map<ULONG, uint64_t> Baseline_;
};

class MountedVolume : public LoadedDriver {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A handle whose Ccb has Kind.
  HANDLE OpenHandle(OPEN_KIND Kind, ULONG FileObjectFlags = FO_SYNCHRONOUS_IO);

  PDEVICE_OBJECT Disk = nullptr;
  PDEVICE_OBJECT VolumeDevice = nullptr;
  PVCB Vcb = nullptr;

 private:
  std::vector<HANDLE> Handles_;
  std::vector<CCB*> Ccbs_;
};
