// File and volume information through the system services: every query class of files,
// directories, the root and the volume handle against the engine's view of the image,
// names cut to the caller's buffer, the fast queries and when they must decline, refused
// sets, and the volume's classes down to a 16-byte attribute buffer and a cut label.
#include <cstring>
#include <thread>

#include "DriverFixture.h"
#include "RealImageFiles.h"

namespace {

using apfsw::Entry;

constexpr LONGLONG Root1980 = 119600064000000000LL;
constexpr uint16_t TypeMask = 0xF000, RegularFile = 0x8000, DirectoryType = 0x4000;
constexpr uint32_t CompressedFlag = 0x20;

Entry File(const std::string& Name, uint64_t Size) {
  Entry F;
  F.name = Name;
  F.size = Size;
  return F;
}

Entry Directory(const std::string& Name, std::vector<Entry> Children) {
  Entry D = apfsw::DirectoryEntry(Name);
  D.children = std::move(Children);
  return D;
}

// What a query returned: its status, the information count and the caller's buffer, which
// starts filled with 0xCC so that untouched bytes show.
struct Answer {
  NTSTATUS Status;
  ULONG_PTR Information;
  std::vector<uint8_t> Bytes;

  template <typename Record>
  const Record& As() const {
    return *(const Record*)Bytes.data();
  }
  std::u16string Name(size_t Offset, size_t ByteCount) const {
    std::u16string Text(ByteCount / 2, u'\0');
    std::memcpy(Text.data(), Bytes.data() + Offset, ByteCount);
    return Text;
  }
};

Answer QueryFile(HANDLE Handle, FILE_INFORMATION_CLASS Class, ULONG Length) {
  Answer A{0, 0, std::vector<uint8_t>(Length, 0xCC)};
  IO_STATUS_BLOCK Iosb{};
  A.Status = NtQueryInformationFile(Handle, &Iosb, A.Bytes.data(), Length, Class);
  A.Information = Iosb.Information;
  return A;
}

Answer QueryVolume(HANDLE Handle, FS_INFORMATION_CLASS Class, ULONG Length) {
  Answer A{0, 0, std::vector<uint8_t>(Length, 0xCC)};
  IO_STATUS_BLOCK Iosb{};
  A.Status = NtQueryVolumeInformationFile(Handle, &Iosb, A.Bytes.data(), Length, Class);
  A.Information = Iosb.Information;
  return A;
}

// While it lives the driver offers no fast queries, so the I/O manager sends every query
// as an IRP.
struct IrpPathOnly {
  FAST_IO_DISPATCH Saved = QdrlFastIoDispatch;
  IrpPathOnly() {
    QdrlFastIoDispatch.FastIoQueryBasicInfo = nullptr;
    QdrlFastIoDispatch.FastIoQueryStandardInfo = nullptr;
    QdrlFastIoDispatch.FastIoQueryNetworkOpenInfo = nullptr;
  }
  ~IrpPathOnly() { QdrlFastIoDispatch = Saved; }
};

// A volume of an image set up as mount leaves it: the VPB names the volume device and
// carries a serial number and label, the free blocks are noted, the root has its Fcb;
// files and directories get Fcbs and handles as create would give them.
class Information : public WrittenVolume {
 protected:
  static constexpr ULONG Serial = 0x1A2B3C4D;

  void OpenVolume(std::vector<Entry> Children, bool CaseInsensitive = true) {
    apfsw::ContainerSpec Spec;
    Spec.volumes.resize(1);
    Spec.volumes[0].caseInsensitive = CaseInsensitive;
    Spec.volumes[0].root.children = std::move(Children);
    Open(Spec);
    SetUpAsMounted(u"QuadrelData");
  }

  void SetUpAsMounted(const std::u16string& Label) {
    if (!VolumeIsCaseSensitive(ContainerVolume(Vcb->Container, (uint32_t)Vcb->Volume->index)))
      SetFlag(Vcb->State, VCB_CASE_INSENSITIVE);
    Vcb->FreeBlocks = ContainerFreeBlocks(Vcb->Container);
    PVPB Vpb = Disk->Vpb;
    Vpb->SerialNumber = Serial;
    Vpb->VolumeLabelLength = (USHORT)(Label.size() * 2);
    std::memcpy(Vpb->VolumeLabel, Label.data(), Vpb->VolumeLabelLength);
    Vpb->DeviceObject = VolumeDevice;
    Vpb->Flags |= VPB_MOUNTED;
    FsRtlEnterFileSystem();
    Root = CreateRootFcb(&IrpContext, Vcb);
    FsRtlExitFileSystem();
  }

  // The Fcb of a "/"-separated path, with those of its directories, each made once as
  // create would; Info gets the engine's view of the path.
  PFCB OpenFcb(const std::string& Path, FileInfo* Info = nullptr) {
    PFCB Fcb = Root;
    FsRtlEnterFileSystem();
    size_t Start = 0;
    for (bool Last = false; !Last;) {
      size_t Slash = Path.find('/', Start);
      Last = Slash == std::string::npos;
      std::string Name = Path.substr(Start, Slash == std::string::npos ? Slash : Slash - Start);
      FileInfo Found{};
      FsNode* Node = Lookup(Path.substr(0, Slash), &Found);
      EXPECT_NE(Node, nullptr) << Path;
      PFCB Parent = Fcb;
      Fcb = FindChildFcb(&IrpContext, Parent, (const UCHAR*)Name.data(), (ULONG)Name.size());
      if (Fcb == nullptr) {
        Fcb = (Found.mode & TypeMask) == DirectoryType ? CreateDirectoryFcb(&IrpContext, Vcb, Parent, Node, &Found)
                                                        : CreateFileFcb(&IrpContext, Vcb, Parent, Node, &Found, FALSE);
        Fcbs_.push_back(Fcb);
      }
      FsNodeRelease(Node);
      if (Info != nullptr) *Info = Found;
      Start = Slash + 1;
    }
    FsRtlExitFileSystem();
    return Fcb;
  }

  // Fcbs a test made itself, deleted with the others (in the order given, parents first).
  void Adopt(const std::vector<PFCB>& Made) { Fcbs_.insert(Fcbs_.end(), Made.begin(), Made.end()); }

  HANDLE OpenHandle(OPEN_KIND Kind, PVOID Target) {
    FsRtlEnterFileSystem();
    PCCB Ccb = AllocateCcb(&IrpContext, Kind);
    FsRtlExitFileSystem();
    Ccb->Target = Target;
    Ccbs_.push_back(Ccb);
    HANDLE Handle = HkInsertHandle(Disk, Kind == VolumeOpen ? (PVOID)Vcb : Target, Ccb, FO_SYNCHRONOUS_IO);
    Handles_.push_back(Handle);
    return Handle;
  }
  HANDLE Open(PFCB Fcb) { return OpenHandle(FlagOn(Fcb->State, FCB_FILE) ? FileOpen : DirectoryOpen, Fcb); }
  HANDLE OpenVolumeHandle() { return OpenHandle(VolumeOpen, Vcb); }

  void TearDown() override {
    for (HANDLE Handle : Handles_) HkDropHandle(Handle);
    for (PCCB Ccb : Ccbs_) FreeCcb(Ccb);
    if (Root != nullptr) {
      FsRtlEnterFileSystem();
      // Children before their parents.
      for (auto Each = Fcbs_.rbegin(); Each != Fcbs_.rend(); ++Each) DeleteFcb(&IrpContext, &*Each);
      DeleteFcb(&IrpContext, &Root);
      FsRtlExitFileSystem();
      Disk->Vpb->Flags &= ~VPB_MOUNTED;
      Disk->Vpb->DeviceObject = nullptr;
    }
    HkSetTimeZoneBias(0);
    WrittenVolume::TearDown();
  }

  PFCB Root = nullptr;

 private:
  using WrittenVolume::Open;
  std::vector<PFCB> Fcbs_;
  std::vector<PCCB> Ccbs_;
  std::vector<HANDLE> Handles_;
};

void ExpectTimes(const FILE_BASIC_INFORMATION& Basic, const FileInfo& Info, const std::string& What) {
  EXPECT_EQ(Basic.CreationTime.QuadPart, Info.creationTime) << What;
  EXPECT_EQ(Basic.LastAccessTime.QuadPart, Info.lastAccessTime) << What;
  EXPECT_EQ(Basic.LastWriteTime.QuadPart, Info.lastWriteTime) << What;
  EXPECT_EQ(Basic.ChangeTime.QuadPart, 0) << What;
}

// What every class reports of one handle.
struct Reported {
  std::string What;
  HANDLE Handle;
  LONGLONG Times[3];  // creation, last access, last write
  ULONG Attributes;
  LONGLONG Size;  // end of file and allocation
  bool Directory;
  LONGLONG FileId;
  std::u16string Name;
  LONGLONG Position;
};

void ExpectBasic(const FILE_BASIC_INFORMATION& Basic, const Reported& Kind, const std::string& Where) {
  EXPECT_EQ(Basic.CreationTime.QuadPart, Kind.Times[0]) << Where;
  EXPECT_EQ(Basic.LastAccessTime.QuadPart, Kind.Times[1]) << Where;
  EXPECT_EQ(Basic.LastWriteTime.QuadPart, Kind.Times[2]) << Where;
  EXPECT_EQ(Basic.ChangeTime.QuadPart, 0) << Where;
  EXPECT_EQ(Basic.FileAttributes, Kind.Attributes) << Where;
}

void ExpectStandard(const FILE_STANDARD_INFORMATION& Standard, const Reported& Kind, const std::string& Where) {
  EXPECT_EQ(Standard.AllocationSize.QuadPart, Kind.Size) << Where;
  EXPECT_EQ(Standard.EndOfFile.QuadPart, Kind.Size) << Where;
  EXPECT_EQ(Standard.NumberOfLinks, 1u) << Where;
  EXPECT_FALSE(Standard.DeletePending) << Where;
  EXPECT_EQ((bool)Standard.Directory, Kind.Directory) << Where;
}

// The name information at Offset of the answer, and nothing written after it.
void ExpectName(const Answer& A, size_t Offset, const Reported& Kind, const std::string& Where) {
  const size_t Bytes = Kind.Name.size() * 2;
  ULONG Length = 0;
  std::memcpy(&Length, A.Bytes.data() + Offset, sizeof(Length));
  EXPECT_EQ(Length, Bytes) << Where;
  EXPECT_EQ(A.Name(Offset + 4, Bytes), Kind.Name) << Where;
  EXPECT_EQ(A.Information, Offset + 4 + Bytes) << Where;
  EXPECT_EQ(A.Bytes[Offset + 4 + Bytes], 0xCC) << Where << ": written past the name";
}

TEST_F(Information, FilesDirectoriesAndTheRootReportTheEnginesViewInEveryClass) {
  OpenVolume({Directory("Docs", {File("report.txt", 10000)}), File("empty", 0)});
  FileInfo FileView{}, DirView{};
  PFCB DirFcb = OpenFcb("Docs", &DirView);
  PFCB FileFcb = OpenFcb("Docs/report.txt", &FileView);
  IrpPathOnly NoFastQueries;
  // The root has no times of its own: 1980-01-01 in local time, here ten hours east.
  HkSetTimeZoneBias(-36000000000LL);
  const LONGLONG RootTime = Root1980 - 36000000000LL;
  const Reported Kinds[] = {
      {"file", Open(FileFcb), {FileView.creationTime, FileView.lastAccessTime, FileView.lastWriteTime},
       FILE_ATTRIBUTE_READONLY, 10000, false, (LONGLONG)FileView.objectId, u"\\Docs\\report.txt", 4321},
      {"directory", Open(DirFcb), {DirView.creationTime, DirView.lastAccessTime, DirView.lastWriteTime},
       FILE_ATTRIBUTE_DIRECTORY, 0, true, (LONGLONG)DirView.objectId, u"\\Docs", 77},
      {"root", Open(Root), {RootTime, RootTime, RootTime}, FILE_ATTRIBUTE_DIRECTORY, 0, true, 2, u"\\", 0},
  };
  // Each class and the bytes it fills, 0 for the name classes, whose count follows the name.
  const std::pair<FILE_INFORMATION_CLASS, ULONG> Classes[] = {
      {FileBasicInformation, 40},    {FileStandardInformation, 24}, {FileInternalInformation, 8},
      {FileEaInformation, 4},        {FileNameInformation, 0},      {FilePositionInformation, 8},
      {FileAllInformation, 0},       {FileNetworkOpenInformation, 56}, {FileNormalizedNameInformation, 0}};
  for (const Reported& Kind : Kinds) {
    HkFileObjectOf(Kind.Handle)->CurrentByteOffset.QuadPart = Kind.Position;
    for (auto [Class, Fills] : Classes) {
      const std::string Where = Kind.What + ", class " + std::to_string(Class);
      Answer A = QueryFile(Kind.Handle, Class, 256);
      ASSERT_EQ(A.Status, STATUS_SUCCESS) << Where;
      if (Fills != 0) {
        EXPECT_EQ(A.Information, Fills) << Where;
      }
      switch (Class) {
        case FileBasicInformation:
          ExpectBasic(A.As<FILE_BASIC_INFORMATION>(), Kind, Where);
          break;
        case FileStandardInformation:
          ExpectStandard(A.As<FILE_STANDARD_INFORMATION>(), Kind, Where);
          break;
        case FileInternalInformation:
          EXPECT_EQ(A.As<LONGLONG>(), Kind.FileId) << Where;
          break;
        case FileEaInformation:
          EXPECT_EQ(A.As<ULONG>(), 0u) << Where;
          break;
        case FilePositionInformation:
          EXPECT_EQ(A.As<LONGLONG>(), Kind.Position) << Where;
          break;
        case FileNetworkOpenInformation: {
          const auto& Network = A.As<FILE_NETWORK_OPEN_INFORMATION>();
          EXPECT_EQ(Network.CreationTime.QuadPart, Kind.Times[0]) << Where;
          EXPECT_EQ(Network.LastAccessTime.QuadPart, Kind.Times[1]) << Where;
          EXPECT_EQ(Network.LastWriteTime.QuadPart, Kind.Times[2]) << Where;
          EXPECT_EQ(Network.ChangeTime.QuadPart, 0) << Where;
          EXPECT_EQ(Network.AllocationSize.QuadPart, Kind.Size) << Where;
          EXPECT_EQ(Network.EndOfFile.QuadPart, Kind.Size) << Where;
          EXPECT_EQ(Network.FileAttributes, Kind.Attributes) << Where;
          break;
        }
        case FileAllInformation: {
          // Every part at its offset, the I/O manager's three left alone: they still hold
          // what the system buffer held, the stand-in's fill of new pool.
          const auto& Whole = A.As<FILE_ALL_INFORMATION>();
          ExpectBasic(Whole.BasicInformation, Kind, Where);
          ExpectStandard(Whole.StandardInformation, Kind, Where);
          EXPECT_EQ(Whole.InternalInformation.IndexNumber.QuadPart, Kind.FileId) << Where;
          EXPECT_EQ(Whole.EaInformation.EaSize, 0u) << Where;
          EXPECT_EQ(Whole.PositionInformation.CurrentByteOffset.QuadPart, Kind.Position) << Where;
          EXPECT_EQ(Whole.AccessInformation.AccessFlags, 0xA5A5A5A5u) << Where;
          EXPECT_EQ(Whole.ModeInformation.Mode, 0xA5A5A5A5u) << Where;
          EXPECT_EQ(Whole.AlignmentInformation.AlignmentRequirement, 0xA5A5A5A5u) << Where;
          ExpectName(A, FIELD_OFFSET(FILE_ALL_INFORMATION, NameInformation), Kind, Where);
          break;
        }
        default:  // the name classes
          ExpectName(A, 0, Kind, Where);
      }
    }
  }
}

}  // namespace

namespace {

TEST_F(Information, NamesAreFullPathsCutToTheCallersBufferWithTheirWholeLengthTold) {
  OpenVolume({Directory("Docs", {Directory("Deeper", {File("notes.md", 100)})})});
  HANDLE Nested = Open(OpenFcb("Docs/Deeper/notes.md"));
  HANDLE RootHandle = Open(Root);
  const std::u16string Full = u"\\Docs\\Deeper\\notes.md";
  const ULONG FullBytes = (ULONG)Full.size() * 2;

  for (FILE_INFORMATION_CLASS Class : {FileNameInformation, FileNormalizedNameInformation}) {
    Answer Name = QueryFile(Nested, Class, 200);
    ASSERT_EQ(Name.Status, STATUS_SUCCESS) << Class;
    EXPECT_EQ(Name.As<ULONG>(), FullBytes);
    EXPECT_EQ(Name.Name(4, FullBytes), Full);
    EXPECT_EQ(Name.Information, 4 + FullBytes);
    EXPECT_EQ(Name.Bytes[4 + FullBytes], 0xCC) << "written past the name";
  }
  Answer RootName = QueryFile(RootHandle, FileNameInformation, 64);
  EXPECT_EQ(RootName.As<ULONG>(), 2u);
  EXPECT_EQ(RootName.Name(4, 2), u"\\");

  // An 8-byte buffer holds the length and two characters.
  Answer Cut = QueryFile(Nested, FileNameInformation, 8);
  EXPECT_EQ(Cut.Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Cut.Information, 8u);
  EXPECT_EQ(Cut.As<ULONG>(), FullBytes);
  EXPECT_EQ(Cut.Name(4, 4), u"\\D");
  // One byte short of the whole name, and an odd length.
  for (ULONG Length : {4 + FullBytes - 1, 4 + FullBytes - 2}) {
    Cut = QueryFile(Nested, FileNameInformation, Length);
    EXPECT_EQ(Cut.Status, STATUS_BUFFER_OVERFLOW) << Length;
    EXPECT_EQ(Cut.Information, Length);
    EXPECT_EQ(Cut.As<ULONG>(), FullBytes);
  }
  // FileAllInformation with room for none of the name: every fixed part, then overflow.
  Answer All = QueryFile(Nested, FileAllInformation, 104);
  EXPECT_EQ(All.Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(All.Information, 104u);
  EXPECT_EQ(All.As<FILE_ALL_INFORMATION>().NameInformation.FileNameLength, FullBytes);
  EXPECT_EQ(All.As<FILE_ALL_INFORMATION>().StandardInformation.EndOfFile.QuadPart, 100);
  EXPECT_EQ(All.Name(100, 4), u"\\D");
}

TEST_F(Information, UnservedClassesVolumeHandlesShortBuffersAndEverySetAreRefused) {
  OpenVolume({Directory("Docs", {File("a.txt", 10)})});
  HANDLE FileHandle = Open(OpenFcb("Docs/a.txt"));
  HANDLE DirHandle = Open(OpenFcb("Docs"));
  HANDLE VolumeHandle = OpenVolumeHandle();

  for (FILE_INFORMATION_CLASS Class : {FileStreamInformation, FileAttributeTagInformation, FileIdInformation,
                                       FileAccessInformation, FileAlternateNameInformation}) {
    Answer Refused = QueryFile(FileHandle, Class, 256);
    EXPECT_EQ(Refused.Status, STATUS_INVALID_PARAMETER) << Class;
    EXPECT_EQ(Refused.Information, 0u);
  }
  for (FILE_INFORMATION_CLASS Class : {FileBasicInformation, FileStandardInformation, FileNameInformation,
                                       FileAllInformation, FileNetworkOpenInformation}) {
    EXPECT_EQ(QueryFile(VolumeHandle, Class, 256).Status, STATUS_INVALID_PARAMETER) << Class;
  }
  // A buffer below the class's fixed size is never written.
  {
    IrpPathOnly NoFastQueries;
    for (auto [Class, Length] : std::vector<std::pair<FILE_INFORMATION_CLASS, ULONG>>{
             {FileBasicInformation, 39}, {FileAllInformation, 96}, {FileNameInformation, 2}, {FileNetworkOpenInformation, 8}}) {
      Answer Short = QueryFile(FileHandle, Class, Length);
      EXPECT_EQ(Short.Status, STATUS_INFO_LENGTH_MISMATCH) << Class;
      EXPECT_EQ(Short.Bytes, std::vector<uint8_t>(Length, 0xCC)) << Class;
    }
  }

  uint8_t Record[64] = {1};
  IO_STATUS_BLOCK Iosb{};
  for (HANDLE Handle : {FileHandle, DirHandle, VolumeHandle}) {
    for (FILE_INFORMATION_CLASS Class : {FileDispositionInformation, FilePositionInformation, FileRenameInformation,
                                         FileBasicInformation, FileEndOfFileInformation}) {
      EXPECT_EQ(NtSetInformationFile(Handle, &Iosb, Record, sizeof(Record), Class), STATUS_MEDIA_WRITE_PROTECTED)
          << Class;
    }
    EXPECT_EQ(NtSetVolumeInformationFile(Handle, &Iosb, Record, sizeof(Record), FileFsLabelInformation),
              STATUS_MEDIA_WRITE_PROTECTED);
  }
  // The refused position change left the handle where it was.
  EXPECT_EQ(HkFileObjectOf(FileHandle)->CurrentByteOffset.QuadPart, 0);
}

TEST_F(Information, NamesOpenedThroughTheCallersSpellingAreReportedInIt) {
  OpenVolume({Directory("Docs", {File("report.txt", 10)}), Directory("Other", {File("plain.txt", 1)})});
  PFCB Docs = OpenFcb("Docs");
  PFCB Report = OpenFcb("Docs/report.txt");
  UNICODE_STRING DocsSpelled{8, 8, (PWSTR)u"DOCS"};
  UNICODE_STRING ReportSpelled{20, 20, (PWSTR)u"Report.TXT"};
  AppendFullName(&IrpContext, Docs, &DocsSpelled);
  AppendFullName(&IrpContext, Report, &ReportSpelled);
  Answer Name = QueryFile(Open(Report), FileNameInformation, 128);
  ASSERT_EQ(Name.Status, STATUS_SUCCESS);
  EXPECT_EQ(Name.Name(4, Name.As<ULONG>()), u"\\DOCS\\Report.TXT");
  // A name once made stays.
  UNICODE_STRING Again{4, 4, (PWSTR)u"xy"};
  AppendFullName(&IrpContext, Report, &Again);
  EXPECT_EQ(std::u16string((const char16_t*)Report->FullName.Buffer, Report->FullName.Length / 2), u"\\DOCS\\Report.TXT");

  // Under a directory whose path is not known the name is built from the disk's spelling
  // when it is asked for.
  PFCB Plain = OpenFcb("Other/plain.txt");
  UNICODE_STRING PlainSpelled{18, 18, (PWSTR)u"PLAIN.TXT"};
  AppendFullName(&IrpContext, Plain, &PlainSpelled);
  EXPECT_EQ(Plain->FullName.Length, 0);
  Name = QueryFile(Open(Plain), FileNameInformation, 128);
  EXPECT_EQ(Name.Name(4, Name.As<ULONG>()), u"\\Other\\plain.txt");
}

TEST_F(Information, APathLongerThanANameStringCanHoldIsRefusedNotCut) {
  OpenVolume({});
  // Directories of 255-character names, one below the other: 127 of them make a path of
  // 65,024 bytes, the 128th one past the 65,534 a name string holds.
  FileInfo Info{};
  Info.mode = DirectoryType;
  Info.nameLength = 255;
  std::memset(Info.name, 'x', 255);
  std::vector<PFCB> Chain;
  FsRtlEnterFileSystem();
  PFCB Parent = Root;
  for (int Level = 0; Level < 128; Level++) {
    Info.objectId = 1000 + (uint64_t)Level;
    Parent = CreateDirectoryFcb(&IrpContext, Vcb, Parent, Vcb->Volume->root, &Info);
    Chain.push_back(Parent);
  }
  FsRtlExitFileSystem();
  Adopt(Chain);
  HANDLE Deepest = Open(Chain[127]), JustFits = Open(Chain[126]);

  Answer Name = QueryFile(Deepest, FileNameInformation, 70000);
  EXPECT_EQ(Name.Status, STATUS_NAME_TOO_LONG);
  EXPECT_EQ(Chain[127]->FullName.Length, 0);
  Name = QueryFile(JustFits, FileNameInformation, 70000);
  ASSERT_EQ(Name.Status, STATUS_SUCCESS);
  EXPECT_EQ(Name.As<ULONG>(), 127u * 512);
  // Made from the parent's path at open time, the name is left to be built, and refused.
  UNICODE_STRING Component{510, 510, (PWSTR)Chain[127]->ExactName.Buffer};
  AppendFullName(&IrpContext, Chain[127], &Component);
  EXPECT_EQ(Chain[127]->FullName.Length, 0);
  EXPECT_EQ(QueryFile(Deepest, FileAllInformation, 70000).Status, STATUS_NAME_TOO_LONG);
}

// The three fast entries, called as the I/O manager calls them.
struct FastAnswer {
  BOOLEAN Served;
  IO_STATUS_BLOCK Iosb;
  FILE_BASIC_INFORMATION Basic;
  FILE_STANDARD_INFORMATION Standard;
  FILE_NETWORK_OPEN_INFORMATION Network;
};

FastAnswer FastBasic(HANDLE Handle, BOOLEAN Wait = TRUE) {
  FastAnswer A{};
  PFILE_OBJECT FileObject = HkFileObjectOf(Handle);
  A.Served = QdrlFastIoDispatch.FastIoQueryBasicInfo(FileObject, Wait, &A.Basic, &A.Iosb,
                                                     IoGetRelatedDeviceObject(FileObject));
  return A;
}
FastAnswer FastStandard(HANDLE Handle) {
  FastAnswer A{};
  PFILE_OBJECT FileObject = HkFileObjectOf(Handle);
  A.Served = QdrlFastIoDispatch.FastIoQueryStandardInfo(FileObject, TRUE, &A.Standard, &A.Iosb,
                                                        IoGetRelatedDeviceObject(FileObject));
  return A;
}
FastAnswer FastNetworkOpen(HANDLE Handle) {
  FastAnswer A{};
  PFILE_OBJECT FileObject = HkFileObjectOf(Handle);
  A.Served = QdrlFastIoDispatch.FastIoQueryNetworkOpenInfo(FileObject, TRUE, &A.Network, &A.Iosb,
                                                           IoGetRelatedDeviceObject(FileObject));
  return A;
}

TEST_F(Information, FastQueriesAnswerFromTheFcbWithTheirOwnRootTimes) {
  OpenVolume({File("data.bin", 5000), Directory("Sub", {})});
  FileInfo FileView{};
  HANDLE FileHandle = Open(OpenFcb("data.bin", &FileView));
  HANDLE DirHandle = Open(OpenFcb("Sub"));
  HANDLE RootHandle = Open(Root);
  HkSetTimeZoneBias(72000000000LL);
  const LONGLONG Root1980System = Root1980 + 72000000000LL;

  FastAnswer Basic = FastBasic(FileHandle);
  ASSERT_TRUE(Basic.Served);
  EXPECT_EQ(Basic.Iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(Basic.Iosb.Information, 40u);
  ExpectTimes(Basic.Basic, FileView, "fast");
  EXPECT_EQ(Basic.Basic.FileAttributes, (ULONG)FILE_ATTRIBUTE_READONLY);
  Basic = FastBasic(RootHandle);
  ASSERT_TRUE(Basic.Served);
  EXPECT_EQ(Basic.Basic.CreationTime.QuadPart, 0);
  EXPECT_EQ(Basic.Basic.LastWriteTime.QuadPart, 0);
  EXPECT_EQ(Basic.Basic.FileAttributes, (ULONG)FILE_ATTRIBUTE_DIRECTORY);

  FastAnswer Standard = FastStandard(FileHandle);
  ASSERT_TRUE(Standard.Served);
  EXPECT_EQ(Standard.Iosb.Information, 24u);
  EXPECT_EQ(Standard.Standard.EndOfFile.QuadPart, 5000);
  EXPECT_EQ(Standard.Standard.NumberOfLinks, 1u);
  EXPECT_FALSE(Standard.Standard.Directory);
  Standard = FastStandard(DirHandle);
  EXPECT_TRUE(Standard.Standard.Directory);
  EXPECT_EQ(Standard.Standard.EndOfFile.QuadPart, 0);

  FastAnswer Network = FastNetworkOpen(FileHandle);
  ASSERT_TRUE(Network.Served);
  EXPECT_EQ(Network.Iosb.Information, 56u);
  EXPECT_EQ(Network.Network.CreationTime.QuadPart, FileView.creationTime);
  EXPECT_EQ(Network.Network.ChangeTime.QuadPart, Root1980System);
  EXPECT_EQ(Network.Network.AllocationSize.QuadPart, 5000);
  Network = FastNetworkOpen(RootHandle);
  EXPECT_EQ(Network.Network.CreationTime.QuadPart, Root1980System);
  EXPECT_EQ(Network.Network.FileAttributes, (ULONG)FILE_ATTRIBUTE_DIRECTORY);

  // The system services take the fast path for the basic and standard classes.
  Answer Served = QueryFile(RootHandle, FileBasicInformation, 40);
  EXPECT_EQ(Served.Status, STATUS_SUCCESS);
  EXPECT_EQ(Served.As<FILE_BASIC_INFORMATION>().CreationTime.QuadPart, 0);

  // Volume handles are left to the IRP path, which refuses them.
  HANDLE VolumeHandle = OpenVolumeHandle();
  EXPECT_FALSE(FastBasic(VolumeHandle).Served);
  EXPECT_FALSE(FastStandard(VolumeHandle).Served);
  EXPECT_FALSE(FastNetworkOpen(VolumeHandle).Served);
}

TEST_F(Information, FastQueriesDeclineWhatTheIrpPathWouldRefuseOrWaitFor) {
  OpenVolume({File("data.bin", 5000)});
  PFCB Fcb = OpenFcb("data.bin");
  HANDLE FileHandle = Open(Fcb);
  HANDLE RootHandle = Open(Root);
  auto Declined = [&](HANDLE Handle) {
    return !FastBasic(Handle).Served && !FastStandard(Handle).Served && !FastNetworkOpen(Handle).Served;
  };

  // The Fcb held exclusive elsewhere: a caller that may not wait is declined at once.
  std::thread Holder;
  KEVENT Held, Release;
  KeInitializeEvent(&Held, NotificationEvent, FALSE);
  KeInitializeEvent(&Release, NotificationEvent, FALSE);
  Holder = std::thread([&] {
    FsRtlEnterFileSystem();
    ExAcquireResourceExclusiveLite(Fcb->Header.Resource, TRUE);
    KeSetEvent(&Held, 0, FALSE);
    KeWaitForSingleObject(&Release, Executive, KernelMode, FALSE, nullptr);
    ExReleaseResourceLite(Fcb->Header.Resource);
    FsRtlExitFileSystem();
  });
  KeWaitForSingleObject(&Held, Executive, KernelMode, FALSE, nullptr);
  EXPECT_FALSE(FastBasic(FileHandle, FALSE).Served);
  KeSetEvent(&Release, 0, FALSE);
  Holder.join();
  EXPECT_TRUE(FastBasic(FileHandle, FALSE).Served);

  // A file whose Fcb must be checked again after a media change.
  Fcb->Condition = FcbNeedsRecheck;
  EXPECT_TRUE(Declined(FileHandle));
  Fcb->Condition = FcbGood;

  // A volume waiting to be verified.
  SetFlag(Disk->Flags, DO_VERIFY_VOLUME);
  EXPECT_TRUE(Declined(FileHandle));
  ClearFlag(Disk->Flags, DO_VERIFY_VOLUME);

  // Another medium in the drive.
  Vcb->Condition = VcbNotMounted;
  EXPECT_TRUE(Declined(RootHandle));
  Vcb->Condition = VcbGood;

  // The volume dismounted, as dismount leaves it: the fast path no longer answers, and the
  // IRP it falls back to tells why.
  ASSERT_TRUE(FastBasic(FileHandle).Served);
  SetFlag(Vcb->State, VCB_DISMOUNTED);
  Vcb->Condition = VcbBad;
  EXPECT_TRUE(Declined(FileHandle));
  EXPECT_TRUE(Declined(RootHandle));
  EXPECT_EQ(QueryFile(FileHandle, FileBasicInformation, 40).Status, STATUS_VOLUME_DISMOUNTED);
  EXPECT_EQ(QueryFile(FileHandle, FileStandardInformation, 24).Status, STATUS_VOLUME_DISMOUNTED);
  EXPECT_EQ(QueryFile(RootHandle, FileNameInformation, 64).Status, STATUS_VOLUME_DISMOUNTED);
  EXPECT_EQ(QueryVolume(RootHandle, FileFsSizeInformation, 24).Status, STATUS_VOLUME_DISMOUNTED);
}

}  // namespace

namespace {

// The container superblock's block size and count as they lie in block 0 of the image.
struct SuperblockFacts {
  uint32_t BlockSize;
  uint64_t BlockCount;
};

class VolumeInformation : public Information {
 protected:
  SuperblockFacts FromImage() {
    std::vector<uint8_t> Head = ImageBytes(0, 48);
    SuperblockFacts Facts{};
    std::memcpy(&Facts.BlockSize, Head.data() + 36, 4);
    std::memcpy(&Facts.BlockCount, Head.data() + 40, 8);
    return Facts;
  }

  // Every served class on Handle, checked against the image and the mount's values.
  void ExpectVolumeClasses(HANDLE Handle, const std::u16string& Label, bool CaseInsensitive) {
    SuperblockFacts Facts = FromImage();
    Answer Volume = QueryVolume(Handle, FileFsVolumeInformation, 128);
    ASSERT_EQ(Volume.Status, STATUS_SUCCESS);
    const auto& V = Volume.As<FILE_FS_VOLUME_INFORMATION>();
    EXPECT_EQ(V.VolumeCreationTime.QuadPart, 0);
    EXPECT_EQ(V.VolumeSerialNumber, Serial);
    EXPECT_EQ(V.VolumeLabelLength, Label.size() * 2);
    EXPECT_FALSE(V.SupportsObjects);
    EXPECT_EQ(Volume.Name(18, Label.size() * 2), Label);
    EXPECT_EQ(Volume.Information, 18 + Label.size() * 2);

    Answer Size = QueryVolume(Handle, FileFsSizeInformation, 24);
    ASSERT_EQ(Size.Status, STATUS_SUCCESS);
    EXPECT_EQ(Size.Information, 24u);
    const auto& S = Size.As<FILE_FS_SIZE_INFORMATION>();
    EXPECT_EQ((uint64_t)S.TotalAllocationUnits.QuadPart, Facts.BlockCount);
    EXPECT_EQ((uint64_t)S.AvailableAllocationUnits.QuadPart, Vcb->FreeBlocks);
    EXPECT_EQ(S.BytesPerSector, 512u);
    EXPECT_EQ(S.SectorsPerAllocationUnit, Facts.BlockSize / 512);

    Answer Full = QueryVolume(Handle, FileFsFullSizeInformation, 32);
    ASSERT_EQ(Full.Status, STATUS_SUCCESS);
    EXPECT_EQ(Full.Information, 32u);
    const auto& F = Full.As<FILE_FS_FULL_SIZE_INFORMATION>();
    EXPECT_EQ((uint64_t)F.TotalAllocationUnits.QuadPart, Facts.BlockCount);
    EXPECT_EQ((uint64_t)F.CallerAvailableAllocationUnits.QuadPart, Vcb->FreeBlocks);
    EXPECT_EQ((uint64_t)F.ActualAvailableAllocationUnits.QuadPart, Vcb->FreeBlocks);
    EXPECT_EQ(F.SectorsPerAllocationUnit, Facts.BlockSize / 512);

    Answer Device = QueryVolume(Handle, FileFsDeviceInformation, 8);
    ASSERT_EQ(Device.Status, STATUS_SUCCESS);
    EXPECT_EQ(Device.As<FILE_FS_DEVICE_INFORMATION>().DeviceType, (ULONG)FILE_DEVICE_DISK);
    EXPECT_EQ(Device.As<FILE_FS_DEVICE_INFORMATION>().Characteristics, Disk->Characteristics);

    Answer Attributes = QueryVolume(Handle, FileFsAttributeInformation, 64);
    ASSERT_EQ(Attributes.Status, STATUS_SUCCESS);
    EXPECT_EQ(Attributes.Information, 20u);
    const auto& A = Attributes.As<FILE_FS_ATTRIBUTE_INFORMATION>();
    EXPECT_EQ(A.FileSystemAttributes, CaseInsensitive ? 0x80006u : 0x80007u);
    EXPECT_EQ(A.MaximumComponentNameLength, 255);
    EXPECT_EQ(A.FileSystemNameLength, 8u);
    EXPECT_EQ(Attributes.Name(12, 8), u"APFS");

    Answer Sectors = QueryVolume(Handle, FileFsSectorSizeInformation, 28);
    ASSERT_EQ(Sectors.Status, STATUS_SUCCESS);
    EXPECT_EQ(Sectors.Information, 28u);
    EXPECT_EQ(Sectors.As<FILE_FS_SECTOR_SIZE_INFORMATION>().LogicalBytesPerSector, 512u);
    EXPECT_EQ(Sectors.As<FILE_FS_SECTOR_SIZE_INFORMATION>().PhysicalBytesPerSectorForAtomicity, 512u);
  }
};

TEST_F(VolumeInformation, EveryClassOnEveryKindOfHandleDescribesTheMountedVolume) {
  OpenVolume({Directory("Docs", {File("a.txt", 10)})});
  HANDLE Handles[] = {Open(OpenFcb("Docs/a.txt")), Open(OpenFcb("Docs")), Open(Root), OpenVolumeHandle()};
  for (HANDLE Handle : Handles) ExpectVolumeClasses(Handle, u"QuadrelData", true);

  // The free space is the mount's count for the life of the mount.
  Vcb->FreeBlocks = 12345;
  Answer Size = QueryVolume(Handles[0], FileFsSizeInformation, 24);
  EXPECT_EQ(Size.As<FILE_FS_SIZE_INFORMATION>().AvailableAllocationUnits.QuadPart, 12345);

  for (FS_INFORMATION_CLASS Class : {FileFsLabelInformation, FileFsControlInformation, FileFsObjectIdInformation,
                                     FileFsVolumeFlagsInformation}) {
    Answer Refused = QueryVolume(Handles[3], Class, 128);
    EXPECT_EQ(Refused.Status, STATUS_INVALID_PARAMETER) << Class;
    EXPECT_EQ(Refused.Information, 0u);
  }
  // A buffer below the class's fixed part is never written.
  Answer Short = QueryVolume(Handles[3], FileFsSizeInformation, 20);
  EXPECT_EQ(Short.Status, STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_EQ(Short.Bytes, std::vector<uint8_t>(20, 0xCC));

  IO_STATUS_BLOCK Iosb{};
  uint8_t NewLabel[16] = {8, 0, 0, 0, 'N', 0, 'e', 0, 'w', 0, '!', 0};
  EXPECT_EQ(NtSetVolumeInformationFile(Handles[3], &Iosb, NewLabel, sizeof(NewLabel), FileFsLabelInformation),
            STATUS_MEDIA_WRITE_PROTECTED);
  EXPECT_EQ(std::u16string((const char16_t*)Disk->Vpb->VolumeLabel, Disk->Vpb->VolumeLabelLength / 2),
            u"QuadrelData");
}

TEST_F(VolumeInformation, ACaseSensitiveVolumeSaysSo) {
  OpenVolume({File("A", 1), File("a", 2)}, false);
  ExpectVolumeClasses(OpenVolumeHandle(), u"QuadrelData", false);
}

TEST_F(VolumeInformation, NamesThatDoNotFitAreCutAndReportedAsOverflow) {
  OpenVolume({});
  HANDLE Handle = Open(Root);
  // 16 bytes of attribute information: the fixed part and "AP".
  Answer Attributes = QueryVolume(Handle, FileFsAttributeInformation, 16);
  EXPECT_EQ(Attributes.Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Attributes.Information, 16u);
  EXPECT_EQ(Attributes.As<FILE_FS_ATTRIBUTE_INFORMATION>().FileSystemNameLength, 4u);
  EXPECT_EQ(Attributes.Name(12, 4), u"AP");
  Attributes = QueryVolume(Handle, FileFsAttributeInformation, 12);
  EXPECT_EQ(Attributes.Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Attributes.As<FILE_FS_ATTRIBUTE_INFORMATION>().FileSystemNameLength, 0u);

  // A label cut after two characters, and one cut inside a character.
  for (ULONG Length : {22u, 23u}) {
    Answer Volume = QueryVolume(Handle, FileFsVolumeInformation, Length);
    EXPECT_EQ(Volume.Status, STATUS_BUFFER_OVERFLOW) << Length;
    EXPECT_EQ(Volume.Information, Length);
    EXPECT_EQ(Volume.As<FILE_FS_VOLUME_INFORMATION>().VolumeLabelLength, 22u);
    EXPECT_EQ(Volume.As<FILE_FS_VOLUME_INFORMATION>().VolumeSerialNumber, Serial);
    EXPECT_EQ(Volume.Name(18, 4), u"Qu");
  }
  Answer Volume = QueryVolume(Handle, FileFsVolumeInformation, 18);
  EXPECT_EQ(Volume.Status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(Volume.Information, 18u);
}

TEST_F(VolumeInformation, SectorsPerUnitComeFromTheBlockAndSectorSizesWithoutDividingByZero) {
  OpenVolume({});
  HANDLE Handle = OpenVolumeHandle();
  EXPECT_EQ(QueryVolume(Handle, FileFsSizeInformation, 24).As<FILE_FS_SIZE_INFORMATION>().SectorsPerAllocationUnit, 8u);
  Vcb->SectorSize = 4096;
  EXPECT_EQ(QueryVolume(Handle, FileFsSizeInformation, 24).As<FILE_FS_SIZE_INFORMATION>().SectorsPerAllocationUnit, 1u);
  // A device that told no sector size: one sector per block.
  Vcb->SectorSize = 0;
  Answer Size = QueryVolume(Handle, FileFsFullSizeInformation, 32);
  ASSERT_EQ(Size.Status, STATUS_SUCCESS);
  EXPECT_EQ(Size.As<FILE_FS_FULL_SIZE_INFORMATION>().SectorsPerAllocationUnit, 1u);
  EXPECT_EQ(Size.As<FILE_FS_FULL_SIZE_INFORMATION>().BytesPerSector, 4096u);
}

// The UTF-16 of a UTF-8 name, as the driver converts it.
std::u16string FromUtf8(const uint8_t* Utf8, uint32_t ByteCount) {
  ULONG Size = 0;
  RtlUTF8ToUnicodeN(nullptr, 0, &Size, (const CHAR*)Utf8, ByteCount);
  std::u16string Text(Size / 2, u'\0');
  RtlUTF8ToUnicodeN((PWSTR)Text.data(), Size, &Size, (const CHAR*)Utf8, ByteCount);
  return Text;
}

// Apple-made images: the queries of the root's entries and of the volume agree with the
// engine's records and with the container superblock read from the image.
class RealImageInformation : public VolumeInformation, public testing::WithParamInterface<std::filesystem::path> {};

TEST_P(RealImageInformation, QueriesOfTheRootsEntriesAndTheVolumeMatchTheEngineAndTheSuperblock) {
  if (!OpenImage(GetParam().string())) GTEST_SKIP() << GetParam().filename() << ": the engine does not open it";
  SetUpAsMounted(u"Real");
  size_t Compared = 0;
  for (const FileInfo& Entry : List(Vcb->Volume->root)) {
    uint16_t Type = Entry.mode & TypeMask;
    bool IsDirectory = Type == DirectoryType;
    if (!IsDirectory && (Type != RegularFile || (Entry.bsdFlags & CompressedFlag))) continue;
    std::string Name((const char*)Entry.name, Entry.nameLength);
    std::string What = GetParam().filename().string() + ": " + Name;
    FileInfo View{};
    HANDLE Handle = Open(OpenFcb(Name, &View));
    {
      IrpPathOnly NoFastQueries;
      Answer All = QueryFile(Handle, FileAllInformation, 1024);
      ASSERT_EQ(All.Status, STATUS_SUCCESS) << What;
      const auto& Whole = All.As<FILE_ALL_INFORMATION>();
      ExpectTimes(Whole.BasicInformation, View, What);
      EXPECT_EQ(Whole.BasicInformation.FileAttributes,
                (ULONG)(IsDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_READONLY))
          << What;
      EXPECT_EQ((uint64_t)Whole.StandardInformation.EndOfFile.QuadPart, IsDirectory ? 0 : View.fileSize) << What;
      EXPECT_EQ((bool)Whole.StandardInformation.Directory, IsDirectory) << What;
      EXPECT_EQ((uint64_t)Whole.InternalInformation.IndexNumber.QuadPart, View.objectId) << What;
      std::u16string Expected = u"\\" + FromUtf8(Entry.name, Entry.nameLength);
      EXPECT_EQ(Whole.NameInformation.FileNameLength, Expected.size() * 2) << What;
      EXPECT_EQ(All.Name(100, Expected.size() * 2), Expected) << What;
    }
    FastAnswer Network = FastNetworkOpen(Handle);
    ASSERT_TRUE(Network.Served) << What;
    EXPECT_EQ(Network.Network.LastWriteTime.QuadPart, View.lastWriteTime) << What;
    EXPECT_EQ((uint64_t)Network.Network.EndOfFile.QuadPart, IsDirectory ? 0 : View.fileSize) << What;
    if (++Compared == 8) break;
  }
  ExpectVolumeClasses(OpenVolumeHandle(), u"Real", FlagOn(Vcb->State, VCB_CASE_INSENSITIVE));
  RecordProperty("entries", (int)Compared);
}

INSTANTIATE_TEST_SUITE_P(Images, RealImageInformation, testing::ValuesIn(testdata::RealImages()),
                         [](const testing::TestParamInfo<std::filesystem::path>& Info) {
                           std::string Name = Info.param.stem().string();
                           std::replace_if(Name.begin(), Name.end(), [](char C) { return !std::isalnum((unsigned char)C); }, '_');
                           return Name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(RealImageInformation);

}  // namespace

namespace {

// Handles opened by name on a volume the driver mounted itself.
using MountedInformation = ImageMount;

TEST_F(MountedInformation, RealOpensAnswerFileAndVolumeQueriesFromTheMountsRecords) {
  apfsw::ContainerSpec Spec;
  Spec.volumes.resize(1);
  Spec.volumes[0].name = "Quadrel";
  Spec.volumes[0].root.children = {Directory("Docs", {File("a.txt", 3000)})};
  PDEVICE_OBJECT Device = AddDisk(WriteImage(Spec));
  HANDLE FileHandle = nullptr, VolumeHandle = nullptr;
  ASSERT_EQ(Open(Device, u"\\Docs\\a.txt", &FileHandle), STATUS_SUCCESS);
  ASSERT_EQ(Open(Device, u"", &VolumeHandle), STATUS_SUCCESS);
  PVCB Mounted = VcbOf(Device);
  ASSERT_NE(Mounted, nullptr);

  Answer Name = QueryFile(FileHandle, FileNameInformation, 128);
  ASSERT_EQ(Name.Status, STATUS_SUCCESS);
  EXPECT_EQ(Name.Name(4, Name.As<ULONG>()), u"\\Docs\\a.txt");
  Answer Standard = QueryFile(FileHandle, FileStandardInformation, 24);
  ASSERT_EQ(Standard.Status, STATUS_SUCCESS);
  EXPECT_EQ(Standard.As<FILE_STANDARD_INFORMATION>().EndOfFile.QuadPart, 3000);
  EXPECT_EQ(QueryFile(VolumeHandle, FileBasicInformation, 40).Status, STATUS_INVALID_PARAMETER);
  IO_STATUS_BLOCK Iosb{};
  UCHAR Delete = TRUE;
  EXPECT_EQ(NtSetInformationFile(FileHandle, &Iosb, &Delete, 1, FileDispositionInformation),
            STATUS_MEDIA_WRITE_PROTECTED);

  for (HANDLE Handle : {FileHandle, VolumeHandle}) {
    Answer Volume = QueryVolume(Handle, FileFsVolumeInformation, 128);
    ASSERT_EQ(Volume.Status, STATUS_SUCCESS);
    EXPECT_EQ(Volume.As<FILE_FS_VOLUME_INFORMATION>().VolumeSerialNumber, Mounted->Vpb->SerialNumber);
    EXPECT_EQ(Volume.Name(18, Volume.As<FILE_FS_VOLUME_INFORMATION>().VolumeLabelLength), u"Quadrel");
    Answer Attributes = QueryVolume(Handle, FileFsAttributeInformation, 64);
    EXPECT_EQ(Attributes.As<FILE_FS_ATTRIBUTE_INFORMATION>().FileSystemAttributes, 0x80006u);
    Answer Size = QueryVolume(Handle, FileFsSizeInformation, 24);
    EXPECT_EQ(Size.As<FILE_FS_SIZE_INFORMATION>().SectorsPerAllocationUnit, 8u);
    EXPECT_EQ((uint64_t)Size.As<FILE_FS_SIZE_INFORMATION>().AvailableAllocationUnits.QuadPart, Mounted->FreeBlocks);
  }
}

}  // namespace
