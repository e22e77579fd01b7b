// Directory listings and change notification through the I/O manager's requests on
// directory handles of writer-made volumes, and of every directory of Apple-made images
// mounted as the driver meets them: every information class against the engine's own
// view, search expressions with the volume's case rule, restart, single-entry and
// index-specified resumption, buffers too small for what is left, engine failures and
// unconvertible names in the middle of a listing, and change-notification requests that
// stay pending until cancelled or cleaned up.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "DriverFixture.h"
#include "Patch.h"
#include "RealImageFiles.h"

namespace {

using apfsw::Entry;
using apfsw::EntryKind;

Entry File(const std::string& Name, uint64_t Size = 100) {
  Entry F;
  F.name = Name;
  F.size = Size;
  return F;
}

Entry Special(const std::string& Name, EntryKind Kind) {
  Entry E;
  E.name = Name;
  E.kind = Kind;
  if (Kind == EntryKind::Symlink) E.target = "elsewhere";
  return E;
}

Entry Compressed(const std::string& Name) {
  Entry F = File(Name, 5000);
  F.compression = apfsw::Compression::DecmpfsEmbedded;
  return F;
}

Entry Directory(const std::string& Name, std::vector<Entry> Children = {}) {
  Entry D = apfsw::DirectoryEntry(Name);
  D.children = std::move(Children);
  return D;
}

std::u16string Utf16(const uint8_t* Utf8, size_t Length) {
  ULONG Size = 0;
  RtlUTF8ToUnicodeN(nullptr, 0, &Size, (const CHAR*)Utf8, (ULONG)Length);
  std::u16string Text(Size / sizeof(WCHAR), u'\0');
  RtlUTF8ToUnicodeN(Text.data(), Size, &Size, (const CHAR*)Utf8, (ULONG)Length);
  return Text;
}

// One entry of a listing buffer, whatever its class.
struct Listed {
  ULONG FileIndex = 0;
  std::u16string Name;
  ULONG NameLength = 0;
  LONGLONG Times[4]{};
  LONGLONG EndOfFile = 0;
  LONGLONG AllocationSize = 0;
  ULONG Attributes = 0;
  LONGLONG FileId = 0;
};

ULONG FixedPart(FILE_INFORMATION_CLASS Class) {
  switch (Class) {
    case FileDirectoryInformation:
      return 64;
    case FileFullDirectoryInformation:
      return 68;
    case FileBothDirectoryInformation:
      return 94;
    case FileNamesInformation:
      return 12;
    case FileIdBothDirectoryInformation:
      return 104;
    default:
      return 80;
  }
}

Listed Decode(const UCHAR* Record, FILE_INFORMATION_CLASS Class, size_t Available) {
  Listed Found;
  const ULONG Fixed = FixedPart(Class);
  if (Class == FileNamesInformation) {
    auto* Names = (const FILE_NAMES_INFORMATION*)Record;
    Found.FileIndex = Names->FileIndex;
    Found.NameLength = Names->FileNameLength;
  } else {
    auto* Common = (const FILE_DIRECTORY_INFORMATION*)Record;
    Found.FileIndex = Common->FileIndex;
    Found.NameLength = Common->FileNameLength;
    Found.Times[0] = Common->CreationTime.QuadPart;
    Found.Times[1] = Common->LastAccessTime.QuadPart;
    Found.Times[2] = Common->LastWriteTime.QuadPart;
    Found.Times[3] = Common->ChangeTime.QuadPart;
    Found.EndOfFile = Common->EndOfFile.QuadPart;
    Found.AllocationSize = Common->AllocationSize.QuadPart;
    Found.Attributes = Common->FileAttributes;
    if (Class == FileIdBothDirectoryInformation)
      Found.FileId = ((const FILE_ID_BOTH_DIR_INFORMATION*)Record)->FileId.QuadPart;
    if (Class == FileIdFullDirectoryInformation)
      Found.FileId = ((const FILE_ID_FULL_DIR_INFORMATION*)Record)->FileId.QuadPart;
    // Nothing else is ever reported: no extended attributes, no short names.
    if (Class != FileDirectoryInformation) {
      EXPECT_EQ(((const FILE_FULL_DIR_INFORMATION*)Record)->EaSize, 0u);
    }
    if (Class == FileBothDirectoryInformation || Class == FileIdBothDirectoryInformation) {
      EXPECT_EQ(((const FILE_BOTH_DIR_INFORMATION*)Record)->ShortNameLength, 0);
    }
  }
  size_t Copied = std::min<size_t>(Found.NameLength, Available - Fixed);
  Found.Name.assign((const char16_t*)(Record + Fixed), Copied / sizeof(WCHAR));
  return Found;
}

struct Answer {
  NTSTATUS Status;
  ULONG_PTR Information;
  std::vector<Listed> Entries;
};

// Walks the NextEntryOffset chain of what a query returned, checking that every record
// lies inside Information bytes.
std::vector<Listed> Entries(const std::vector<UCHAR>& Buffer, ULONG_PTR Information, FILE_INFORMATION_CLASS Class) {
  std::vector<Listed> Found;
  if (Information == 0) return Found;
  ULONG Offset = 0;
  for (;;) {
    EXPECT_EQ(Offset % 8, 0u);
    EXPECT_LE(Offset + FixedPart(Class), Information);
    Found.push_back(Decode(Buffer.data() + Offset, Class, Information - Offset));
    ULONG Next = *(const ULONG*)(Buffer.data() + Offset);
    if (Next == 0) break;
    Offset += Next;
  }
  return Found;
}

// One NtQueryDirectoryFile on the handle.
Answer Query(HANDLE Handle, ULONG Length, FILE_INFORMATION_CLASS Class = FileIdFullDirectoryInformation,
             const char16_t* Pattern = nullptr, bool Restart = false, bool Single = false) {
  std::vector<UCHAR> Buffer(Length, 0xCC);
  std::u16string Text = Pattern ? Pattern : u"";
  UNICODE_STRING Name{(USHORT)(Text.size() * 2), (USHORT)(Text.size() * 2), Text.data()};
  IO_STATUS_BLOCK Iosb{};
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  NTSTATUS Status = NtQueryDirectoryFile(Handle, &Done, nullptr, nullptr, &Iosb, Buffer.data(), Length, Class,
                                         Single, Pattern ? &Name : nullptr, Restart);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
    Status = Iosb.Status;
  }
  EXPECT_EQ(Status, Iosb.Status);
  EXPECT_LE(Iosb.Information, Length);
  // Nothing past what the query reports is touched.
  for (size_t At = Iosb.Information; At < Buffer.size(); At++)
    if (Buffer[At] != 0xCC) ADD_FAILURE() << "byte " << At << " written past Information";
  return Answer{Status, Iosb.Information, Entries(Buffer, Iosb.Information, Class)};
}

// Every record a handle lists from its position on, in Class, with buffers of Length bytes.
std::vector<Listed> ListRecords(HANDLE Handle, FILE_INFORMATION_CLASS Class, ULONG Length = 65536) {
  std::vector<Listed> All;
  for (;;) {
    Answer Page = Query(Handle, Length, Class);
    if (Page.Status == STATUS_NO_MORE_FILES || Page.Status == STATUS_NO_SUCH_FILE) break;
    EXPECT_EQ(Page.Status, STATUS_SUCCESS);
    if (Page.Status != STATUS_SUCCESS) break;
    All.insert(All.end(), Page.Entries.begin(), Page.Entries.end());
  }
  return All;
}

// The classes a directory lists in.
constexpr FILE_INFORMATION_CLASS ListingClasses[] = {FileDirectoryInformation,       FileFullDirectoryInformation,
                                                     FileBothDirectoryInformation,   FileNamesInformation,
                                                     FileIdBothDirectoryInformation, FileIdFullDirectoryInformation};

// Checks a listing in Class against the engine's view of the same directory, field by
// field as far as the class carries them.
void ExpectEnginesView(const std::vector<Listed>& Got, const std::vector<FileInfo>& Want, FILE_INFORMATION_CLASS Class,
                       const std::string& Where) {
  ASSERT_EQ(Got.size(), Want.size()) << Where;
  for (size_t At = 0; At < Want.size(); At++) {
    const bool IsDirectory = Want[At].attributes & FILE_ATTRIBUTE_DIRECTORY;
    EXPECT_EQ(Got[At].Name, Utf16(Want[At].name, Want[At].nameLength)) << Where;
    EXPECT_EQ(Got[At].NameLength, Got[At].Name.size() * sizeof(WCHAR)) << Where;
    if (At > 0) {
      EXPECT_GT(Got[At].FileIndex, Got[At - 1].FileIndex) << Where;
    }
    if (Class == FileNamesInformation) continue;
    EXPECT_EQ(Got[At].Attributes, IsDirectory ? (ULONG)FILE_ATTRIBUTE_DIRECTORY : (ULONG)FILE_ATTRIBUTE_READONLY)
        << Where;
    EXPECT_EQ(Got[At].Times[0], Want[At].creationTime) << Where;
    EXPECT_EQ(Got[At].Times[1], Want[At].lastAccessTime) << Where;
    EXPECT_EQ(Got[At].Times[2], Want[At].lastWriteTime) << Where;
    EXPECT_EQ(Got[At].Times[3], Want[At].changeTime) << Where;
    EXPECT_EQ((uint64_t)Got[At].EndOfFile, Want[At].fileSize) << Where;
    EXPECT_EQ((uint64_t)Got[At].AllocationSize, IsDirectory ? 0 : Want[At].allocationSize) << Where;
    if (Class == FileIdBothDirectoryInformation || Class == FileIdFullDirectoryInformation) {
      EXPECT_EQ((uint64_t)Got[At].FileId, Want[At].objectId) << Where;
    }
  }
}

class DirectoryListing : public WrittenVolume {
 protected:
  void OpenVolume(std::vector<Entry> Children, bool CaseInsensitive = true, uint32_t NodeEntryCap = 0) {
    Open(SpecOf(std::move(Children), CaseInsensitive, NodeEntryCap));
    PrepareVolume(CaseInsensitive);
  }

  // Writes the image, then overwrites every occurrence of Marker in it with Bytes (the
  // checksums of the blocks made good again) and opens it.
  void OpenPatched(std::vector<Entry> Children, const std::string& Marker, const std::string& Bytes) {
    const char* Temp = std::getenv("TMPDIR");
    std::string Path = std::string(Temp ? Temp : "/tmp") + "/qdrl-patched-" + std::to_string(::getpid()) + ".img";
    apfsw::WriteResult Written = apfsw::WriteImage(SpecOf(std::move(Children), true, 0), Path);
    std::ifstream In(Path, std::ios::binary);
    std::string Image((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    for (size_t At = Image.find(Marker); At != std::string::npos; At = Image.find(Marker, At + 1))
      apfsw::PatchBytes(Path, Written.blockSize, At / Written.blockSize, At % Written.blockSize,
                        std::vector<uint8_t>(Bytes.begin(), Bytes.end()), apfsw::ChecksumMode::Recompute);
    ASSERT_TRUE(OpenImage(Path));
    std::remove(Path.c_str());
    PrepareVolume(true);
  }

  static apfsw::ContainerSpec SpecOf(std::vector<Entry> Children, bool CaseInsensitive, uint32_t NodeEntryCap) {
    apfsw::ContainerSpec Spec;
    Spec.volumes.resize(1);
    Spec.volumes[0].caseInsensitive = CaseInsensitive;
    Spec.volumes[0].nodeEntryCap = NodeEntryCap;
    Spec.volumes[0].root.children = std::move(Children);
    return Spec;
  }

  // What mount adds to the volume record for directory control.
  void PrepareVolume(bool CaseInsensitive) {
    // The spare trees mount keeps as the sources of every listing's clones.
    Vcb->SpareOmapTree = Vcb->OmapTree;
    Vcb->SpareFsTree = Vcb->FsTree;
    if (CaseInsensitive) SetFlag(Vcb->State, VCB_CASE_INSENSITIVE);
    InitializeListHead(&Vcb->NotifyList);
    FsRtlNotifyInitializeSync(&Vcb->NotifySync);
    Disk->Vpb->DeviceObject = VolumeDevice;
    Disk->Vpb->Flags |= VPB_MOUNTED;
    FsRtlEnterFileSystem();
    Root = CreateRootFcb(&IrpContext, Vcb);
    FsRtlExitFileSystem();
  }

  // A handle of Kind on the directory (or file) at Path, "" for the root.
  HANDLE OpenHandle(const std::string& Path, OPEN_KIND Kind = DirectoryOpen) {
    PFCB Fcb = Root;
    FsRtlEnterFileSystem();
    if (!Path.empty()) {
      FileInfo Info{};
      FsNode* Node = Lookup(Path, &Info);
      EXPECT_NE(Node, nullptr);
      Fcb = Kind == DirectoryOpen ? CreateDirectoryFcb(&IrpContext, Vcb, Root, Node, &Info)
                                  : CreateFileFcb(&IrpContext, Vcb, Root, Node, &Info, FALSE);
      FsNodeRelease(Node);
      Fcbs_.push_back(Fcb);
    }
    PCCB Ccb = AllocateCcb(&IrpContext, Kind);
    FsRtlExitFileSystem();
    Ccb->Target = Fcb;
    Ccbs_.push_back(Ccb);
    HANDLE Handle = HkInsertHandle(Disk, Fcb, Ccb, 0);
    Handles_.push_back(Handle);
    return Handle;
  }

  PCCB CcbOf(HANDLE Handle) { return (PCCB)HkFileObjectOf(Handle)->FsContext2; }

  // A query built by hand with the index-specified flag, which the system services never set.
  Answer QueryFromIndex(HANDLE Handle, ULONG FileIndex, ULONG Length) {
    std::vector<UCHAR> Buffer(Length, 0xCC);
    KEVENT Done;
    KeInitializeEvent(&Done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK Iosb{};
    PIRP Irp = IoAllocateIrp(VolumeDevice->StackSize, FALSE);
    Irp->UserIosb = &Iosb;
    Irp->UserEvent = &Done;
    Irp->UserBuffer = Buffer.data();
    Irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_DIRECTORY_CONTROL;
    Stack->MinorFunction = IRP_MN_QUERY_DIRECTORY;
    Stack->Flags = SL_INDEX_SPECIFIED;
    Stack->FileObject = HkFileObjectOf(Handle);
    Stack->Parameters.QueryDirectory.Length = Length;
    Stack->Parameters.QueryDirectory.FileInformationClass = FileNamesInformation;
    Stack->Parameters.QueryDirectory.FileIndex = FileIndex;
    NTSTATUS Status = IoCallDriver(VolumeDevice, Irp);
    if (Status == STATUS_PENDING) {
      KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
      Status = Iosb.Status;
    }
    return Answer{Status, Iosb.Information, Entries(Buffer, Iosb.Information, FileNamesInformation)};
  }

  // Every name a handle lists from its position on, with buffers of Length bytes.
  std::vector<std::u16string> ListAll(HANDLE Handle, ULONG Length, const char16_t* Pattern = nullptr,
                                      size_t* Queries = nullptr) {
    std::vector<std::u16string> Names;
    for (size_t Count = 1;; Count++) {
      Answer Page = Query(Handle, Length, FileNamesInformation, Pattern);
      if (Page.Status == STATUS_NO_MORE_FILES || Page.Status == STATUS_NO_SUCH_FILE) break;
      EXPECT_EQ(Page.Status, STATUS_SUCCESS);
      if (Page.Status != STATUS_SUCCESS) break;
      for (const Listed& Each : Page.Entries) Names.push_back(Each.Name);
      if (Queries) *Queries = Count;
    }
    return Names;
  }

  // The names the engine lists in a directory, in its order, without the kinds listings hide.
  std::vector<FileInfo> EngineView(const std::string& Path) {
    FileInfo Info{};
    FsNode* Node = Path.empty() ? nullptr : Lookup(Path, &Info);
    std::vector<FileInfo> All = List(Node ? Node : Root->Directory.DirNode);
    if (Node) FsNodeRelease(Node);
    std::vector<FileInfo> Shown;
    for (const FileInfo& Each : All)
      if (!(Each.attributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SYSTEM)))
        Shown.push_back(Each);
    return Shown;
  }

  void TearDown() override {
    HkWaitForWorkQueueIdle();
    for (HANDLE Handle : Handles_) HkDropHandle(Handle);
    if (Vcb != nullptr && Root != nullptr) {
      FsRtlEnterFileSystem();
      for (PCCB Ccb : Ccbs_) FreeCcb(Ccb);
      for (PFCB Fcb : Fcbs_) DeleteFcb(&IrpContext, &Fcb);
      DeleteFcb(&IrpContext, &Root);
      FsRtlExitFileSystem();
      FsRtlNotifyUninitializeSync(&Vcb->NotifySync);
      Disk->Vpb->Flags &= ~VPB_MOUNTED;
      Disk->Vpb->DeviceObject = nullptr;
    }
    WrittenVolume::TearDown();
  }

  PFCB Root = nullptr;

 private:
  std::vector<HANDLE> Handles_;
  std::vector<PCCB> Ccbs_;
  std::vector<PFCB> Fcbs_;
};

std::vector<Entry> MixedTree() {
  return {File("Alpha.txt", 1234),  Directory("Docs", {File("inner.md")}), File("beta.TXT", 0),
          Special("link", EntryKind::Symlink), Compressed("packed.bin"),       Special("sock", EntryKind::Socket),
          File("gamma", 70000),     Special("pipe", EntryKind::Fifo),        File("ReadMe.txt", 42)};
}

TEST_F(DirectoryListing, EveryClassMatchesTheEnginesViewAndHidesWhatCreateDoesNotOpen) {
  OpenVolume(MixedTree());
  const std::vector<FileInfo> Expected = EngineView("");
  ASSERT_EQ(Expected.size(), 5u);  // the link, the compressed file, the socket and the pipe are hidden
  for (FILE_INFORMATION_CLASS Class : ListingClasses) {
    HANDLE Handle = OpenHandle("");
    Answer All = Query(Handle, 65536, Class);
    ASSERT_EQ(All.Status, STATUS_SUCCESS) << Class;
    ExpectEnginesView(All.Entries, Expected, Class, "class " + std::to_string(Class));
    EXPECT_EQ(Query(Handle, 65536, Class).Status, STATUS_NO_MORE_FILES);
  }
  // A subdirectory lists its own entries only, without "." or "..".
  Answer Docs = Query(OpenHandle("Docs"), 4096, FileNamesInformation);
  ASSERT_EQ(Docs.Entries.size(), 1u);
  EXPECT_EQ(Docs.Entries[0].Name, u"inner.md");
}

TEST_F(DirectoryListing, RefusedRequestsNameTheirFault) {
  OpenVolume({File("one"), Directory("dir", {Compressed("only.z"), Special("l", EntryKind::Symlink)})});
  EXPECT_EQ(Query(OpenHandle(""), 4096, (FILE_INFORMATION_CLASS)4).Status, STATUS_INVALID_INFO_CLASS);
  EXPECT_EQ(Query(OpenHandle("one", FileOpen), 4096).Status, STATUS_INVALID_PARAMETER);
  HANDLE Root = OpenHandle("");
  std::u16string Odd = u"ab";
  UNICODE_STRING OddName{3, 4, Odd.data()};
  IO_STATUS_BLOCK Iosb{};
  UCHAR Buffer[256];
  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  EXPECT_EQ(NtQueryDirectoryFile(Root, &Done, nullptr, nullptr, &Iosb, Buffer, sizeof(Buffer),
                                 FileNamesInformation, FALSE, &OddName, FALSE),
            STATUS_INVALID_PARAMETER);
  // A buffer below the fixed part (which the I/O manager never sends) is not written.
  EXPECT_EQ(Query(Root, 40, FileDirectoryInformation).Status, STATUS_INFO_LENGTH_MISMATCH);
  // Only hidden kinds: the directory lists as empty.
  EXPECT_EQ(Query(OpenHandle("dir"), 4096).Status, STATUS_NO_SUCH_FILE);
}

TEST_F(DirectoryListing, PatternsMatchWithTheVolumesCaseRuleAndStayWithTheHandle) {
  OpenVolume(MixedTree());
  auto Names = [](const Answer& A) {
    std::vector<std::u16string> Out;
    for (const Listed& Each : A.Entries) Out.push_back(Each.Name);
    return Out;
  };
  using Names_ = std::vector<std::u16string>;
  // No name, an empty one and "*" all list everything.
  for (const char16_t* Everything : {(const char16_t*)nullptr, u"", u"*"})
    EXPECT_EQ(Query(OpenHandle(""), 4096, FileNamesInformation, Everything).Entries.size(), 5u);
  // A plain name finds its entry whatever the case typed, in the stored case.
  EXPECT_EQ(Names(Query(OpenHandle(""), 4096, FileNamesInformation, u"README.txt")), Names_{u"ReadMe.txt"});
  EXPECT_EQ(Names(Query(OpenHandle(""), 4096, FileNamesInformation, u"*.TXT")),
            (Names_{u"Alpha.txt", u"beta.TXT", u"ReadMe.txt"}));
  EXPECT_EQ(Names(Query(OpenHandle(""), 4096, FileNamesInformation, u"?????")), (Names_{u"gamma"}));
  EXPECT_EQ(Names(Query(OpenHandle(""), 4096, FileNamesInformation, u"<\"TXT")),
            (Names_{u"Alpha.txt", u"beta.TXT", u"ReadMe.txt"}));
  EXPECT_EQ(Names(Query(OpenHandle(""), 4096, FileNamesInformation, u"d>>>\"*")), (Names_{u"Docs"}));
  EXPECT_EQ(Query(OpenHandle(""), 4096, FileNamesInformation, u"missing*").Status, STATUS_NO_SUCH_FILE);
  // Hidden kinds stay hidden when named.
  EXPECT_EQ(Query(OpenHandle(""), 4096, FileNamesInformation, u"link").Status, STATUS_NO_SUCH_FILE);

  // The first query's expression stays: a later name without restart is ignored.
  HANDLE Handle = OpenHandle("");
  EXPECT_EQ(Names(Query(Handle, 4096, FileNamesInformation, u"a*", false, true)), Names_{u"Alpha.txt"});
  EXPECT_EQ(Query(Handle, 4096, FileNamesInformation, u"g*").Status, STATUS_NO_MORE_FILES);
  // A restart with a name replaces it; a restart without one starts the old one again.
  EXPECT_EQ(Names(Query(Handle, 4096, FileNamesInformation, u"G*", true)), Names_{u"gamma"});
  EXPECT_EQ(Names(Query(Handle, 4096, FileNamesInformation, nullptr, true)), Names_{u"gamma"});
  EXPECT_TRUE(FlagOn(CcbOf(Handle)->Flags, CCB_TEMPLATE_ALLOCATED));
}

TEST_F(DirectoryListing, ACaseSensitiveVolumeMatchesTheExactCaseOnly) {
  OpenVolume({File("Report.pdf"), File("report.pdf"), File("REPORT.PDF")}, false);
  Answer Exact = Query(OpenHandle(""), 4096, FileNamesInformation, u"report.pdf");
  ASSERT_EQ(Exact.Entries.size(), 1u);
  EXPECT_EQ(Exact.Entries[0].Name, u"report.pdf");
  EXPECT_EQ(Query(OpenHandle(""), 4096, FileNamesInformation, u"R*").Entries.size(), 2u);
  EXPECT_EQ(Query(OpenHandle(""), 4096, FileNamesInformation, u"rEPORT.pdf").Status, STATUS_NO_SUCH_FILE);
}

TEST_F(DirectoryListing, ResumptionWalksTheDirectoryOnceWhateverTheBufferAndStartingPoint) {
  std::vector<Entry> Files;
  for (int N = 0; N < 12; N++) Files.push_back(File("entry-" + std::to_string(100 + N)));
  OpenVolume(Files);
  const ULONG Record = 12 + 9 * 2;  // "entry-1NN" in the names class: 30 bytes, 32 with padding

  // Single entries walk the directory one at a time.
  HANDLE Single = OpenHandle("");
  std::vector<Listed> Walked;
  for (;;) {
    Answer One = Query(Single, 4096, FileNamesInformation, nullptr, false, true);
    if (One.Status == STATUS_NO_MORE_FILES) break;
    ASSERT_EQ(One.Status, STATUS_SUCCESS);
    ASSERT_EQ(One.Entries.size(), 1u);
    EXPECT_EQ(One.Information, Record);
    Walked.push_back(One.Entries[0]);
  }
  ASSERT_EQ(Walked.size(), 12u);

  // Two and a half entries' room returns two; the third comes first next time.
  HANDLE Paged = OpenHandle("");
  Answer First = Query(Paged, 2 * 32 + 20, FileNamesInformation);
  ASSERT_EQ(First.Status, STATUS_SUCCESS);
  ASSERT_EQ(First.Entries.size(), 2u);
  EXPECT_EQ(First.Information, 32 + Record);
  EXPECT_EQ(Query(Paged, 4096, FileNamesInformation).Entries.front().Name, Walked[2].Name);

  // Room for the fixed part but not the whole name: the truncated entry with its full
  // length and STATUS_BUFFER_OVERFLOW, then the same entry whole.
  HANDLE Tight = OpenHandle("");
  Answer Cut = Query(Tight, 12 + 6, FileNamesInformation);
  EXPECT_EQ(Cut.Status, STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(Cut.Entries.size(), 1u);
  EXPECT_EQ(Cut.Entries[0].NameLength, 18u);
  EXPECT_EQ(Cut.Entries[0].Name, u"ent");
  EXPECT_EQ(Cut.Information, 18u);
  EXPECT_EQ(Query(Tight, 4096, FileNamesInformation, nullptr, false, true).Entries[0].Name, Walked[0].Name);

  // Any FileIndex a caller kept resumes right after that entry, with the handle's
  // expression.
  HANDLE Indexed = OpenHandle("");
  for (size_t At = 0; At < Walked.size(); At++) {
    Answer After = QueryFromIndex(Indexed, Walked[At].FileIndex, 4096);
    if (At + 1 == Walked.size()) {
      EXPECT_EQ(After.Status, STATUS_NO_MORE_FILES);
      continue;
    }
    ASSERT_EQ(After.Status, STATUS_SUCCESS);
    ASSERT_EQ(After.Entries.size(), Walked.size() - At - 1);
    EXPECT_EQ(After.Entries[0].Name, Walked[At + 1].Name);
  }
  // A restart lists everything again.
  EXPECT_EQ(Query(Indexed, 4096, FileNamesInformation, nullptr, true).Entries.size(), 12u);
}

TEST_F(DirectoryListing, SmallBuffersPageThroughAHundredThousandEntriesAsOneListing) {
  constexpr int Count = 100000;
  std::vector<Entry> Files;
  Files.reserve(Count);
  for (int N = 0; N < Count; N++) Files.push_back(File("f" + std::to_string(N), 0));
  OpenVolume({Directory("big", std::move(Files))});
  size_t Queries = 0;
  std::vector<std::u16string> Names = ListAll(OpenHandle("big"), 16384, nullptr, &Queries);
  ASSERT_EQ(Names.size(), (size_t)Count);
  EXPECT_GT(Queries, 100u);
  // The whole sequence, in the engine's order.
  std::vector<std::u16string> Expected;
  for (const FileInfo& Each : EngineView("big")) Expected.push_back(Utf16(Each.name, Each.nameLength));
  ASSERT_EQ(Expected.size(), Names.size());
  auto Differs = std::mismatch(Names.begin(), Names.end(), Expected.begin()).first;
  EXPECT_TRUE(Differs == Names.end()) << "first difference at entry " << (Differs - Names.begin());
}

TEST_F(DirectoryListing, AReadErrorMidListingFailsTheQueryAndTheListingResumesAfterwards) {
  std::vector<Entry> Files;
  for (int N = 0; N < 300; N++) Files.push_back(File("n" + std::to_string(1000 + N), 0));
  OpenVolume({Directory("many", std::move(Files))}, true, 4);
  HANDLE Handle = OpenHandle("many");
  Answer First = Query(Handle, 512, FileNamesInformation);
  ASSERT_EQ(First.Status, STATUS_SUCCESS);
  const ULONG Position = CcbOf(Handle)->NextEntryIndex;
  HkFailRead(Disk, STATUS_DEVICE_DATA_ERROR);
  Answer Failed = Query(Handle, 65536, FileNamesInformation);
  EXPECT_EQ(Failed.Status, STATUS_UNEXPECTED_IO_ERROR);
  EXPECT_EQ(Failed.Information, 0u);
  EXPECT_EQ(CcbOf(Handle)->NextEntryIndex, Position);
  // Not the end of the directory: the next query goes on from the same place.
  std::vector<std::u16string> Rest = ListAll(Handle, 65536);
  EXPECT_EQ(First.Entries.size() + Rest.size(), 300u);
  const std::vector<FileInfo> Engine = EngineView("many");
  EXPECT_EQ(Rest.back(), Utf16(Engine.back().name, Engine.back().nameLength));
}

TEST_F(DirectoryListing, AnUnconvertibleNameIsSkippedAndCountedWithoutEndingLaterListings) {
  // The writer writes UTF-8 names only: the name is damaged in the image afterwards.
  OpenPatched({File("a-first"), File("b-bad-MARK"), File("c-last")}, "-MARK", std::string("-\xff\xfe\xffK", 5));
  for (int Round = 0; Round < 2; Round++) {
    std::vector<std::u16string> Names = ListAll(OpenHandle(""), 4096);
    std::sort(Names.begin(), Names.end());
    EXPECT_EQ(Names, (std::vector<std::u16string>{u"a-first", u"c-last"}));
  }
  EXPECT_EQ(Vcb->UnlistableNameCount, 2);
}

TEST_F(DirectoryListing, ChangeNotificationStaysPendingUntilCancelledOrCleanedUp) {
  OpenVolume({Directory("watched"), File("plain")});
  HANDLE Watched = OpenHandle("watched");
  auto Notify = [](HANDLE Handle, KEVENT* Done, IO_STATUS_BLOCK* Iosb) {
    KeInitializeEvent(Done, NotificationEvent, FALSE);
    return NtNotifyChangeDirectoryFile(Handle, Done, nullptr, nullptr, Iosb, nullptr, 0,
                                       FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME, TRUE);
  };
  KEVENT Done1, Done2, Done3;
  IO_STATUS_BLOCK Iosb1{}, Iosb2{}, Iosb3{};
  ASSERT_EQ(Notify(Watched, &Done1, &Iosb1), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&Done1), 0);
  // Cancelling completes the request as cancelled; the handle keeps watching.
  IO_STATUS_BLOCK CancelIosb;
  EXPECT_EQ(NtCancelIoFile(Watched, &CancelIosb), STATUS_SUCCESS);
  EXPECT_NE(KeReadStateEvent(&Done1), 0);
  EXPECT_EQ(Iosb1.Status, STATUS_CANCELLED);
  ASSERT_EQ(Notify(Watched, &Done2, &Iosb2), STATUS_PENDING);
  ASSERT_EQ(Notify(Watched, &Done3, &Iosb3), STATUS_PENDING);
  EXPECT_EQ(KeReadStateEvent(&Done2), 0);
  // The handle's cleanup completes what is still pending.
  PFILE_OBJECT FileObject = HkFileObjectOf(Watched);
  FsRtlNotifyCleanup(Vcb->NotifySync, &Vcb->NotifyList, FileObject->FsContext2);
  EXPECT_TRUE(IsListEmpty(&Vcb->NotifyList));
  EXPECT_EQ(Iosb2.Status, STATUS_NOTIFY_CLEANUP);
  EXPECT_EQ(Iosb3.Status, STATUS_NOTIFY_CLEANUP);
  // Only directories are watched.
  KEVENT Done5;
  IO_STATUS_BLOCK Iosb5{};
  EXPECT_EQ(Notify(OpenHandle("plain", FileOpen), &Done5, &Iosb5), STATUS_INVALID_PARAMETER);
}

// The real images, or when their folder is absent the folder alone, for a test that says so.
std::vector<std::filesystem::path> RealImagesOrTheirFolder() {
  std::vector<std::filesystem::path> Images = testdata::RealImages();
  if (Images.empty()) Images.push_back(QUADREL_TESTDATA_DIR);
  return Images;
}

template <typename T>
T LittleEndianAt(const std::vector<char>& Bytes, size_t Offset) {
  T Value{};
  std::memcpy(&Value, Bytes.data() + Offset, sizeof(Value));
  return Value;
}

// Apple-made images mounted as the driver meets them, each on a partition device as the
// partition manager presents one: a bare container on a partition spanning its disk; a
// disk with a GUID partition table on the partition of its APFS entry; a truncated carve
// first as it stands, which mount refuses, then as the disk it was cut from, the blocks
// not carved reading as zeros. Every directory is opened by name and listed in every class
// against the engine's view of the mounted volume.
class RealImageListing : public ImageMount, public testing::WithParamInterface<std::filesystem::path> {
 protected:
  // The images hold a few directories; a larger one is walked this far only.
  static constexpr int MaxDepth = 8;
  static constexpr size_t MaxDirectories = 200;

  void TearDown() override {
    if (Cloned_) {
      BTreeRelease(&FsTree_);
      BTreeRelease(&OmapTree_);
    }
    HkWaitForWorkQueueIdle();
    for (PDEVICE_OBJECT Partition : Partitions_) {
      EXPECT_TRUE(DismountIdle(Partition)) << "a volume is still held";
      HkDeleteStorage(Partition);
    }
    ImageMount::TearDown();
  }

  // A partition device of Length bytes at Offset of Disk, named \Device\HarddiskVolume<N>.
  PDEVICE_OBJECT AddPartition(PDEVICE_OBJECT Disk, uint64_t Offset, uint64_t Length) {
    VolumeName = u"\\Device\\HarddiskVolume";
    for (char Digit : std::to_string(Partitions_.size() + 1)) VolumeName += (char16_t)Digit;
    Partitions_.push_back(HkCreatePartition(Disk, VolumeName.c_str(), Offset, Length));
    return Partitions_.back();
  }

  // Where the container lies on a disk over Image: the APFS entry of a GUID partition
  // table, else the whole disk.
  static std::pair<uint64_t, uint64_t> ContainerPlace(PDEVICE_OBJECT Disk, const std::filesystem::path& Image) {
    static const GUID ApfsType = {0x7C3457EF, 0x0000, 0x11AA, {0xAA, 0x11, 0x00, 0x30, 0x65, 0x43, 0xEC, 0xAC}};
    std::pair<uint64_t, uint64_t> Place{0, std::filesystem::file_size(Image) / 512 * 512};
    PDRIVE_LAYOUT_INFORMATION_EX Layout = nullptr;
    if (IoReadPartitionTableEx(Disk, &Layout) != STATUS_SUCCESS) return Place;
    for (ULONG Index = 0; Layout->PartitionStyle == PARTITION_STYLE_GPT && Index < Layout->PartitionCount; Index++) {
      const PARTITION_INFORMATION_EX& Entry = Layout->PartitionEntry[Index];
      if (std::memcmp(&Entry.Gpt.PartitionType, &ApfsType, sizeof(GUID)) != 0) continue;
      Place = {(uint64_t)Entry.StartingOffset.QuadPart, (uint64_t)Entry.PartitionLength.QuadPart};
      break;
    }
    ExFreePoolWithTag(Layout, 0);
    return Place;
  }

  // Mounts the image's volume and returns its device; null, with Why saying why, when the
  // driver cannot mount it at all.
  PDEVICE_OBJECT MountImage(const std::filesystem::path& Image, std::string* Why) {
    PDEVICE_OBJECT Disk = AddDisk(Image.string());
    auto [Offset, Length] = ContainerPlace(Disk, Image);
    PDEVICE_OBJECT Partition = AddPartition(Disk, Offset, Length);
    std::vector<char> Block0(4096);
    std::ifstream(Image, std::ios::binary).seekg((std::streamoff)Offset).read(Block0.data(), (std::streamsize)4096);
    const uint64_t BlockSize = LittleEndianAt<uint32_t>(Block0, 36);
    const uint64_t BlockCount = LittleEndianAt<uint64_t>(Block0, 40);
    const uint64_t ObjectMapBlock = LittleEndianAt<uint64_t>(Block0, 160);
    const uint64_t ContainerBytes = BlockSize * BlockCount;
    const bool Cut = ContainerBytes > Length;
    std::ostringstream Carve;
    if (Cut) {
      // A container longer than its partition fails the open.
      const NTSTATUS AsItStands = Mount(Partition);
      EXPECT_EQ(AsItStands, STATUS_FILE_CORRUPT_ERROR) << Image.filename() << " as it stands";
      Carve << "it holds " << Length / BlockSize << " of its container's " << BlockCount << " blocks of "
            << BlockSize << " bytes; as it stands mount refuses it (0x" << std::hex << (ULONG)AsItStands << std::dec
            << ", the container is longer than its disk), and on the disk it was cut from";
      std::string Uncut = Folder + "/uncut.img";
      std::filesystem::copy_file(Image, Uncut, std::filesystem::copy_options::overwrite_existing);
      std::filesystem::resize_file(Uncut, Offset + ContainerBytes);
      Partition = AddPartition(AddDisk(Uncut), Offset, ContainerBytes);
    }
    const NTSTATUS Status = Mount(Partition);
    if (NT_SUCCESS(Status)) return Partition;
    if (!Cut || ObjectMapBlock < Length / BlockSize) {
      ADD_FAILURE() << Image.filename() << ": mount fails with 0x" << std::hex << (ULONG)Status;
      return nullptr;
    }
    Carve << ", the blocks not carved reading as zeros, the container's object map (block " << ObjectMapBlock
          << ") is among the zeros and mount fails with 0x" << std::hex << (ULONG)Status;
    *Why = Image.filename().string() + ": " + Carve.str();
    return nullptr;
  }

  NTSTATUS OpenDirectory(const std::u16string& Path, HANDLE* Handle) {
    std::u16string Full = VolumeName + Path;
    UNICODE_STRING Name{(USHORT)(Full.size() * 2), (USHORT)(Full.size() * 2), (PWSTR)Full.data()};
    OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&Name);
    IO_STATUS_BLOCK Iosb{};
    return NtCreateFile(Handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, &Attributes, &Iosb, nullptr, 0,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                        FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE, nullptr, 0);
  }

  // The entries of Directory in the engine's order.
  std::vector<FileInfo> EngineList(FsNode* Directory) {
    std::vector<FileInfo> Entries;
    DirSearch* Search = nullptr;
    if (!DirSearchCreate(Directory, &Search, &FsTree_)) {
      ADD_FAILURE() << "the engine cannot list a directory";
      return Entries;
    }
    BTreeCursor* Cursor = nullptr;
    FileInfo Info;
    bool End = false;
    while (DirEnumNext(Directory, Search, &Info, nullptr, &End, &Cursor, &FsTree_)) Entries.push_back(Info);
    EXPECT_TRUE(End) << "the engine's listing stops short of the end";
    if (Cursor != nullptr) {
      BTreeCursorClose(Cursor);
      delete Cursor;
    }
    DirSearchFree(Search);
    return Entries;
  }

  // Lists the directory of Node, at Path below the root, in every class through its own
  // handle, then the directories below it.
  void ExpectListings(FsNode* Node, const std::u16string& Path, int Depth) {
    if (Depth > MaxDepth || ++Directories > MaxDirectories) return;
    std::vector<FileInfo> Shown;
    for (const FileInfo& Each : EngineList(Node)) {
      if (Each.attributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_SYSTEM))
        Hidden++;
      else
        Shown.push_back(Each);
    }
    const std::string Where = GetParam().filename().string() + ": " +
                              (Path.empty() ? std::string("\\") : std::string(Path.begin(), Path.end()));
    for (FILE_INFORMATION_CLASS Class : ListingClasses) {
      HANDLE Handle = nullptr;
      ASSERT_EQ(OpenDirectory(Path.empty() ? u"\\" : Path, &Handle), STATUS_SUCCESS) << Where;
      // Small buffers: a directory of a few entries pages too.
      ExpectEnginesView(ListRecords(Handle, Class, 1024), Shown, Class, Where + ", class " + std::to_string(Class));
      EXPECT_EQ(NtClose(Handle), STATUS_SUCCESS);
    }
    for (const FileInfo& Each : Shown) {
      if (!(Each.attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
      FsNode* Child = nullptr;
      FileInfo Info{};
      bool NotFound = false;
      ASSERT_TRUE(FsLookup(Node, Each.name, Each.nameLength, &Child, &Info, &FsTree_, &NotFound)) << Where;
      ExpectListings(Child, Path + u"\\" + Utf16(Each.name, Each.nameLength), Depth + 1);
      FsNodeRelease(Child);
    }
  }

  // The engine's own trees for its view: clones of the volume's spare pair, as each
  // listing makes them.
  bool CloneTrees(PVCB Vcb) {
    BTreeInit(&OmapTree_, Vcb->Container);
    BTreeInit(&FsTree_, Vcb->Container);
    Cloned_ = true;
    return BTreeClone(&OmapTree_, Vcb->SpareOmapTree, nullptr) && BTreeClone(&FsTree_, Vcb->SpareFsTree, &OmapTree_);
  }

  std::u16string VolumeName;
  size_t Directories = 0;
  size_t Hidden = 0;

 private:
  std::vector<PDEVICE_OBJECT> Partitions_;
  BTree OmapTree_{};
  BTree FsTree_{};
  bool Cloned_ = false;
};

TEST_P(RealImageListing, EveryDirectoryListsInEveryClassAsTheEngineSeesIt) {
  if (!std::filesystem::is_regular_file(GetParam())) GTEST_SKIP() << "no real images in " << GetParam();
  std::string Why;
  PDEVICE_OBJECT Device = MountImage(GetParam(), &Why);
  if (Device == nullptr) GTEST_SKIP() << Why;
  PVCB Vcb = VcbOf(Device);
  ASSERT_NE(Vcb, nullptr);
  ASSERT_TRUE(CloneTrees(Vcb));
  ExpectListings(Vcb->Volume->root, u"", 0);
  RecordProperty("directories", (int)Directories);
  RecordProperty("hidden", (int)Hidden);
}

INSTANTIATE_TEST_SUITE_P(Images, RealImageListing, testing::ValuesIn(RealImagesOrTheirFolder()),
                         [](const testing::TestParamInfo<std::filesystem::path>& Info) {
                           std::string Name = Info.param.stem().string();
                           std::replace_if(Name.begin(), Name.end(), [](char C) { return !std::isalnum((unsigned char)C); }, '_');
                           return Name;
                         });

}  // namespace
