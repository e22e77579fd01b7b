// Opening the volume, its root, directories and files through NtCreateFile on a mounted
// image: dispositions and options, name forms, relative opens, case rules, share access,
// the volume's implicit lock, privileges, and pool failures leaving nothing behind.
#include <future>
#include <thread>

#include "DriverFixture.h"

namespace {

using apfsw::ContainerSpec;
using apfsw::Entry;
using apfsw::EntryKind;

Entry File(const std::string& Name, uint64_t Size = 100) {
  Entry E;
  E.name = Name;
  E.size = Size;
  return E;
}

Entry Special(const std::string& Name, EntryKind Kind) {
  Entry E;
  E.name = Name;
  E.kind = Kind;
  if (Kind == EntryKind::Symlink) E.target = "hello.txt";
  return E;
}

// The root holds hello.txt, Docs\Readme.txt, Docs\Sub\deep.bin, a compressed file, a
// symbolic link, a socket, a file with a 255-character name and Greek names.
ContainerSpec TestVolume(bool CaseInsensitive) {
  ContainerSpec Spec;
  Spec.volumes.resize(1);
  Spec.volumes[0].caseInsensitive = CaseInsensitive;
  Spec.volumes[0].normalizationInsensitive = true;
  Entry& Root = Spec.volumes[0].root;
  Root.children.push_back(File("hello.txt"));
  Entry Docs = apfsw::DirectoryEntry("Docs");
  Docs.children.push_back(File("Readme.txt", 5000));
  Entry Sub = apfsw::DirectoryEntry("Sub");
  Sub.children.push_back(File("deep.bin", 9000));
  Docs.children.push_back(Sub);
  Root.children.push_back(Docs);
  Entry Packed = File("packed.txt", 20000);
  Packed.compression = apfsw::Compression::DecmpfsStream;
  Root.children.push_back(Packed);
  Root.children.push_back(Special("link", EntryKind::Symlink));
  Root.children.push_back(Special("socket", EntryKind::Socket));
  Root.children.push_back(File(std::string(255, 'L')));
  Root.children.push_back(File("\xCE\xB8"));  // θ
  Root.children.push_back(File("\xCF\x83"));  // σ
  // ς is a name of its own for the volume's case folding too; ϴ folds to θ.
  Root.children.push_back(File("\xCF\x82"));  // ς
  if (!CaseInsensitive) Root.children.push_back(File("\xCF\xB4"));  // ϴ
  return Spec;
}

const ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class Opening : public ImageMount {
 protected:
  void MountVolume(bool CaseInsensitive = true) {
    std::string Path = Folder + "/create.img";
    Layout = apfsw::WriteImage(TestVolume(CaseInsensitive), Path);
    Disk = AddDisk(Path);
    ASSERT_EQ(Mount(Disk), STATUS_SUCCESS);
    Vcb = VcbOf(Disk);
    ASSERT_NE(Vcb, nullptr);
  }

  // NtCreateFile of Name (below the device unless Root is given), as an application
  // makes it; the handle is closed at the end of the test.
  NTSTATUS OpenAs(const std::u16string& Name, HANDLE* Handle, ULONG Disposition = FILE_OPEN, ULONG Options = 0,
                  ACCESS_MASK Access = FILE_READ_DATA | SYNCHRONIZE, ULONG Share = ShareAll, HANDLE Root = nullptr,
                  PVOID Ea = nullptr) {
    std::u16string Full = Root ? Name : u"\\Device\\Harddisk0" + Name;
    UNICODE_STRING Unicode{(USHORT)(Full.size() * 2), (USHORT)(Full.size() * 2), (PWSTR)Full.data()};
    OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&Unicode, OBJ_CASE_INSENSITIVE, Root);
    IO_STATUS_BLOCK Iosb{};
    *Handle = nullptr;
    NTSTATUS Status = NtCreateFile(Handle, Access, &Attributes, &Iosb, nullptr, 0, Share, Disposition,
                                   Options | FILE_SYNCHRONOUS_IO_NONALERT, Ea, Ea ? 16 : 0);
    if (NT_SUCCESS(Status)) {
      EXPECT_EQ(Iosb.Information, (ULONG_PTR)FILE_OPENED);
      Opened.push_back(*Handle);
    }
    return Status;
  }

  NTSTATUS Status(const std::u16string& Name, ULONG Disposition = FILE_OPEN, ULONG Options = 0,
                  ACCESS_MASK Access = FILE_READ_DATA | SYNCHRONIZE, ULONG Share = ShareAll, HANDLE Root = nullptr) {
    HANDLE Handle;
    return OpenAs(Name, &Handle, Disposition, Options, Access, Share, Root);
  }

  void CloseHandle(HANDLE Handle) {
    std::erase(Opened, Handle);
    EXPECT_EQ(NtClose(Handle), STATUS_SUCCESS);
  }

  void TearDown() override {
    for (HANDLE Handle : std::vector<HANDLE>(Opened)) CloseHandle(Handle);
    ImageMount::TearDown();
  }

  static PFCB FcbOf(HANDLE Handle) { return (PFCB)HkFileObjectOf(Handle)->FsContext; }
  static PCCB CcbOf(HANDLE Handle) { return (PCCB)HkFileObjectOf(Handle)->FsContext2; }
  uint64_t InodeOf(const std::string& Path) { return Layout.File(0, Path).inode; }
  size_t DiskRequests() { return HkIoLog(Disk).size(); }

  // Every file Fcb in memory has an open; directories may stay without one.
  void ExpectNoFileFcbWithoutOpens() {
    for (PFCB Fcb = Vcb->RootFcb; Fcb != nullptr; Fcb = NextFcb(nullptr, Fcb, Vcb->RootFcb)) {
      if (FlagOn(Fcb->State, FCB_FILE)) {
        EXPECT_NE(Fcb->OpenCount, 0u) << "a file Fcb left without opens";
      }
      if (FlagOn(Fcb->State, FCB_DIRECTORY)) {
        EXPECT_TRUE(FlagOn(Fcb->State, FCB_IN_NAME_TREE));
      }
    }
  }

  apfsw::WriteResult Layout;
  PDEVICE_OBJECT Disk = nullptr;
  PVCB Vcb = nullptr;
  std::vector<HANDLE> Opened;
};

TEST_F(Opening, FilesDirectoriesRootAndVolumeOpenWithTheirRecords) {
  MountVolume();
  HANDLE File, Directory, Root, Volume;
  ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &File), STATUS_SUCCESS);
  PFCB FileFcb = FcbOf(File);
  EXPECT_TRUE(FlagOn(FileFcb->State, FCB_FILE));
  EXPECT_EQ(FileFcb->FileId, InodeOf("Docs/Readme.txt"));
  EXPECT_EQ(CcbOf(File)->OpenKind, FileOpen);
  EXPECT_EQ(CcbOf(File)->Target, FileFcb);
  EXPECT_EQ(FileFcb->OpenCount, 1u);
  EXPECT_EQ(FileFcb->UncleanCount, 1u);
  EXPECT_EQ(HkFileObjectOf(File)->SectionObjectPointer, &FileFcb->NonPaged->SectionObjectPointers);
  EXPECT_TRUE(FlagOn(HkFileObjectOf(File)->Flags, FO_CACHE_SUPPORTED));
  EXPECT_EQ(std::u16string(FileFcb->FullName.Buffer, FileFcb->FullName.Length / 2), u"\\Docs\\Readme.txt");
  // The walk left the intermediate directory in memory without an open.
  PFCB Docs = FileFcb->Parent;
  EXPECT_EQ(Docs->FileId, InodeOf("Docs"));
  EXPECT_EQ(Docs->OpenCount, 0u);

  ASSERT_EQ(OpenAs(u"\\Docs", &Directory), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(Directory), Docs);
  EXPECT_EQ(CcbOf(Directory)->OpenKind, DirectoryOpen);
  EXPECT_EQ(Docs->OpenCount, 1u);

  Vcb->RootFcb->State |= FCB_DELAY_CLOSE;
  ASSERT_EQ(OpenAs(u"\\", &Root), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(Root), Vcb->RootFcb);
  EXPECT_FALSE(FlagOn(Vcb->RootFcb->State, FCB_DELAY_CLOSE)) << "opening the root clears its delay-close bit";

  ASSERT_EQ(OpenAs(u"", &Volume), STATUS_SUCCESS);
  EXPECT_EQ(HkFileObjectOf(Volume)->FsContext, Vcb);
  EXPECT_EQ(CcbOf(Volume)->OpenKind, VolumeOpen);
  EXPECT_TRUE(FlagOn(HkFileObjectOf(Volume)->Flags, FO_NO_INTERMEDIATE_BUFFERING));
  EXPECT_EQ(Vcb->VolumeOpenCount, 1u);
  EXPECT_EQ(Vcb->OpenCount, 4u);

  HANDLE NonCached;
  ASSERT_EQ(OpenAs(u"\\hello.txt", &NonCached, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING), STATUS_SUCCESS);
  EXPECT_FALSE(FlagOn(HkFileObjectOf(NonCached)->Flags, FO_CACHE_SUPPORTED));
  EXPECT_EQ(FcbOf(NonCached)->NonCachedUncleanCount, 1u);
  HANDLE Executable;
  ASSERT_EQ(OpenAs(u"\\hello.txt", &Executable, FILE_OPEN, 0, FILE_EXECUTE | SYNCHRONIZE), STATUS_SUCCESS);
  EXPECT_TRUE(FlagOn(HkFileObjectOf(Executable)->Flags, FO_FILE_FAST_IO_READ));
}

TEST_F(Opening, EveryCreatingOrReplacingDispositionIsRefused) {
  MountVolume();
  struct Case {
    ULONG Disposition;
    NTSTATUS File, Directory, Missing;
  };
  const Case Cases[] = {
      {FILE_OPEN, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND},
      {FILE_OPEN_IF, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_MEDIA_WRITE_PROTECTED},
      {FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_COLLISION, STATUS_MEDIA_WRITE_PROTECTED},
      {FILE_SUPERSEDE, STATUS_MEDIA_WRITE_PROTECTED, STATUS_OBJECT_NAME_COLLISION, STATUS_MEDIA_WRITE_PROTECTED},
      {FILE_OVERWRITE, STATUS_MEDIA_WRITE_PROTECTED, STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_NOT_FOUND},
      {FILE_OVERWRITE_IF, STATUS_MEDIA_WRITE_PROTECTED, STATUS_OBJECT_NAME_COLLISION, STATUS_MEDIA_WRITE_PROTECTED},
  };
  // Each twice: first through the engine, then through the Fcbs the first round left.
  HANDLE KeepFile, KeepDirectory;
  ULONG FileOpens = 0, DirectoryOpens = 0;
  for (int Round = 0; Round < 2; ++Round) {
    for (const Case& C : Cases) {
      EXPECT_EQ(Status(u"\\Docs\\Sub\\deep.bin", C.Disposition), C.File) << Round << " " << C.Disposition;
      EXPECT_EQ(Status(u"\\Docs\\Sub", C.Disposition), C.Directory) << Round << " " << C.Disposition;
      EXPECT_EQ(Status(u"\\Docs\\missing", C.Disposition), C.Missing) << Round << " " << C.Disposition;
    }
    if (Round == 0) {
      ASSERT_EQ(OpenAs(u"\\Docs\\Sub\\deep.bin", &KeepFile), STATUS_SUCCESS);
      ASSERT_EQ(OpenAs(u"\\Docs\\Sub", &KeepDirectory), STATUS_SUCCESS);
      FileOpens = FcbOf(KeepFile)->OpenCount;
      DirectoryOpens = FcbOf(KeepDirectory)->OpenCount;
    }
  }
  EXPECT_EQ(Status(u"\\Docs\\missing", FILE_CREATE, FILE_DIRECTORY_FILE), STATUS_MEDIA_WRITE_PROTECTED);
  EXPECT_EQ(Status(u"\\Docs\\missing\\", FILE_CREATE), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Status(u"\\", FILE_CREATE), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Status(u"\\", FILE_OVERWRITE_IF), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Status(u"", FILE_CREATE), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Status(u"", FILE_SUPERSEDE), STATUS_ACCESS_DENIED);
  // The second round added its two successful opens of each and nothing else.
  EXPECT_EQ(FcbOf(KeepFile)->OpenCount, FileOpens + 2) << "refused opens leave the counts";
  EXPECT_EQ(FcbOf(KeepDirectory)->OpenCount, DirectoryOpens + 2);
  ExpectNoFileFcbWithoutOpens();
}

TEST_F(Opening, OptionsAndKindsAreChecked) {
  MountVolume();
  EXPECT_EQ(Status(u"\\hello.txt", FILE_OPEN, FILE_DIRECTORY_FILE), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(Status(u"\\Docs", FILE_OPEN, FILE_NON_DIRECTORY_FILE), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(Status(u"\\", FILE_OPEN, FILE_NON_DIRECTORY_FILE), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(Status(u"", FILE_OPEN, FILE_DIRECTORY_FILE), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(Status(u"\\Docs", FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Status(u"\\hello.txt", FILE_OPEN, FILE_OPEN_BY_FILE_ID), STATUS_NOT_IMPLEMENTED);
  // No paging file is placed here; the request is refused before its name is looked at.
  HANDLE Probe = HkInsertHandle(Disk, nullptr, nullptr, FO_SYNCHRONOUS_IO);
  EXPECT_EQ(SendCreate(Vcb->VolumeDevice, HkFileObjectOf(Probe), FILE_OPEN_IF, FILE_READ_DATA | FILE_WRITE_DATA, 0,
                       SL_OPEN_PAGING_FILE)
                .Status,
            STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(HkFileObjectOf(Probe)->FsContext2, nullptr);
  HkDropHandle(Probe);
  EXPECT_EQ(Status(u"\\hello.txt", FILE_OPEN, FILE_DELETE_ON_CLOSE, DELETE | SYNCHRONIZE),
            STATUS_MEDIA_WRITE_PROTECTED);
  HANDLE Handle;
  UCHAR Ea[16] = {};
  EXPECT_EQ(OpenAs(u"\\hello.txt", &Handle, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, nullptr, Ea),
            STATUS_EAS_NOT_SUPPORTED);
  EXPECT_EQ(Status(u"\\hello.txt\\more"), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Status(u"\\nowhere\\hello.txt"), STATUS_OBJECT_PATH_NOT_FOUND);
  // Compressed files, symbolic links and sockets are not offered.
  EXPECT_EQ(Status(u"\\packed.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Status(u"\\link"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Status(u"\\socket"), STATUS_OBJECT_NAME_NOT_FOUND);
  // Asking for write or delete access does not fail an open by itself.
  EXPECT_EQ(Status(u"\\hello.txt", FILE_OPEN, 0, FILE_WRITE_DATA | DELETE | SYNCHRONIZE), STATUS_SUCCESS);

  // The parent of a name to be created or renamed is opened only to write into it: refused
  // for any name (in memory, on the volume or missing); the root and the volume have none.
  auto OpenTarget = [](const std::u16string& Name) {
    std::u16string Full = u"\\Device\\Harddisk0" + Name;
    UNICODE_STRING Unicode{(USHORT)(Full.size() * 2), (USHORT)(Full.size() * 2), (PWSTR)Full.data()};
    OBJECT_ATTRIBUTES Attributes = HkObjectAttributes(&Unicode);
    IO_STATUS_BLOCK Iosb{};
    HANDLE Handle = nullptr;
    return IoCreateFile(&Handle, FILE_WRITE_DATA | SYNCHRONIZE, &Attributes, &Iosb, nullptr, 0, ShareAll, FILE_OPEN,
                        FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, CreateFileTypeNone, nullptr,
                        IO_OPEN_TARGET_DIRECTORY);
  };
  HANDLE Held;
  ASSERT_EQ(OpenAs(u"\\Docs", &Held), STATUS_SUCCESS);
  EXPECT_EQ(OpenTarget(u"\\Docs"), STATUS_MEDIA_WRITE_PROTECTED);
  EXPECT_EQ(OpenTarget(u"\\hello.txt"), STATUS_MEDIA_WRITE_PROTECTED);
  EXPECT_EQ(OpenTarget(u"\\Docs\\new-name"), STATUS_MEDIA_WRITE_PROTECTED);
  EXPECT_EQ(OpenTarget(u"\\"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(OpenTarget(u""), STATUS_INVALID_PARAMETER);
  ExpectNoFileFcbWithoutOpens();
}

TEST_F(Opening, NameFormsSeparatorsAndLengths) {
  MountVolume();
  HANDLE Handle;
  ASSERT_EQ(OpenAs(u"\\\\hello.txt", &Handle), STATUS_SUCCESS) << "two leading backslashes open from the root";
  EXPECT_EQ(FcbOf(Handle)->FileId, InodeOf("hello.txt"));
  EXPECT_EQ(Status(u"\\\\\\hello.txt"), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Status(u"\\Docs\\\\Readme.txt"), STATUS_OBJECT_NAME_INVALID);
  ASSERT_EQ(OpenAs(u"\\Docs\\", &Handle), STATUS_SUCCESS) << "a directory with a trailing backslash";
  EXPECT_EQ(FcbOf(Handle)->FileId, InodeOf("Docs"));
  EXPECT_EQ(Status(u"\\hello.txt\\"), STATUS_OBJECT_NAME_INVALID) << "a file with a trailing backslash";
  EXPECT_EQ(Status(u"\\Docs\\Readme.txt\\"), STATUS_OBJECT_NAME_INVALID) << "also through the engine";

  std::u16string Longest(255, u'L');
  ASSERT_EQ(OpenAs(u"\\" + Longest, &Handle), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(Handle)->FileId, InodeOf(std::string(255, 'L')));
  EXPECT_EQ(Status(u"\\" + Longest + u"L"), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Status(u"\\" + std::u16string(256, u'L') + u"\\x"), STATUS_OBJECT_NAME_INVALID);

  // Relative to the root, a name of 65534 bytes no longer fits a 16-bit length with the
  // root's; a shorter one is looked up.
  HANDLE Root;
  ASSERT_EQ(OpenAs(u"\\", &Root), STATUS_SUCCESS);
  std::u16string Long;
  while (Long.size() < 32766) Long += u"a\\";
  Long += u"a";
  ASSERT_EQ(Long.size() * 2, 65534u);
  EXPECT_EQ(Status(Long, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Root), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Status(Long.substr(0, 32001), FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Root),
            STATUS_OBJECT_PATH_NOT_FOUND);
  // An unpaired surrogate names nothing.
  EXPECT_EQ(Status(std::u16string(u"\\x") + (char16_t)0xD800), STATUS_OBJECT_NAME_INVALID);
}

TEST_F(Opening, RelativeOpensStartAtTheRelatedHandle) {
  MountVolume();
  HANDLE Docs, Volume, File, Same;
  ASSERT_EQ(OpenAs(u"\\Docs", &Docs), STATUS_SUCCESS);
  ASSERT_EQ(OpenAs(u"Readme.txt", &File, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Docs), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(File)->FileId, InodeOf("Docs/Readme.txt"));
  ASSERT_EQ(OpenAs(u"Sub\\deep.bin", &File, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Docs),
            STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(File)->FileId, InodeOf("Docs/Sub/deep.bin"));
  ASSERT_EQ(OpenAs(u"", &Same, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Docs), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(Same), FcbOf(Docs)) << "an empty name opens the related directory again";
  EXPECT_EQ(Status(u"\\Readme.txt", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Docs),
            STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Status(u"hello.txt", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Docs),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Status(u"x", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, File), STATUS_OBJECT_PATH_NOT_FOUND);

  ASSERT_EQ(OpenAs(u"", &Volume), STATUS_SUCCESS);
  ASSERT_EQ(OpenAs(u"", &Same, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Volume), STATUS_SUCCESS);
  EXPECT_EQ(CcbOf(Same)->OpenKind, VolumeOpen);
  EXPECT_EQ(Status(u"hello.txt", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Volume),
            STATUS_OBJECT_PATH_NOT_FOUND);

  // A related name that with the related directory's path no longer fits 16 bits.
  std::u16string Long;
  while (Long.size() < 32766 - 2) Long += u"a\\";
  EXPECT_EQ(Status(Long + u"bb", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll, Docs),
            STATUS_OBJECT_NAME_INVALID);
}

TEST_F(Opening, CaseInsensitiveVolumeFindsEverySpellingInMemoryWithoutIo) {
  MountVolume(true);
  HANDLE First, Again;
  ASSERT_EQ(OpenAs(u"\\DOCS\\readme.TXT", &First), STATUS_SUCCESS);
  size_t Requests = DiskRequests();
  ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &Again), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(Again), FcbOf(First));
  EXPECT_EQ(DiskRequests(), Requests) << "a re-open through the Fcb in memory reads nothing";
  EXPECT_EQ(FcbOf(First)->OpenCount, 2u);
  // The file and its folder keep their path as the first opener spelled it.
  PFCB Opened = FcbOf(Again);
  EXPECT_EQ(std::u16string(Opened->FullName.Buffer, Opened->FullName.Length / 2), u"\\DOCS\\readme.TXT");
  EXPECT_EQ(std::u16string(Opened->Parent->FullName.Buffer, Opened->Parent->FullName.Length / 2), u"\\DOCS");

  // θ and ϴ are one name on this volume.
  ASSERT_EQ(OpenAs(u"\\θ", &First), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(First)->FileId, InodeOf("\xCE\xB8"));
  Requests = DiskRequests();
  ASSERT_EQ(OpenAs(u"\\ϴ", &Again), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(Again), FcbOf(First));
  EXPECT_EQ(DiskRequests(), Requests);
  // σ and ς stay apart: the volume's folding keeps the final form, and so do the name trees.
  ASSERT_EQ(OpenAs(u"\\σ", &First), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(First)->FileId, InodeOf("\xCF\x83"));
  ASSERT_EQ(OpenAs(u"\\ς", &Again), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(Again)->FileId, InodeOf("\xCF\x82"));
  EXPECT_NE(FcbOf(Again), FcbOf(First));
}

TEST_F(Opening, CaseSensitiveVolumeKeepsEverySpellingApart) {
  MountVolume(false);
  HANDLE Theta, ThetaSymbol, Sigma, FinalSigma, Docs;
  ASSERT_EQ(OpenAs(u"\\θ", &Theta), STATUS_SUCCESS);
  ASSERT_EQ(OpenAs(u"\\ϴ", &ThetaSymbol), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(Theta)->FileId, InodeOf("\xCE\xB8"));
  EXPECT_EQ(FcbOf(ThetaSymbol)->FileId, InodeOf("\xCF\xB4"));
  ASSERT_EQ(OpenAs(u"\\σ", &Sigma), STATUS_SUCCESS);
  ASSERT_EQ(OpenAs(u"\\ς", &FinalSigma), STATUS_SUCCESS);
  EXPECT_EQ(FcbOf(Sigma)->FileId, InodeOf("\xCF\x83"));
  EXPECT_EQ(FcbOf(FinalSigma)->FileId, InodeOf("\xCF\x82"));
  ASSERT_EQ(OpenAs(u"\\Docs", &Docs), STATUS_SUCCESS);
  EXPECT_EQ(Status(u"\\docs"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Status(u"\\Docs\\README.TXT"), STATUS_OBJECT_NAME_NOT_FOUND);
  size_t Requests = DiskRequests();
  EXPECT_EQ(Status(u"\\Docs"), STATUS_SUCCESS);
  EXPECT_EQ(DiskRequests(), Requests);
}

TEST_F(Opening, ShareAccessDecidesBetweenHandlesOfOneFile) {
  MountVolume();
  HANDLE Reader;
  ASSERT_EQ(OpenAs(u"\\hello.txt", &Reader, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ),
            STATUS_SUCCESS);
  PFCB Fcb = FcbOf(Reader);
  EXPECT_EQ(Status(u"\\hello.txt", FILE_OPEN, 0, FILE_WRITE_DATA | SYNCHRONIZE), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Status(u"\\hello.txt", FILE_OPEN, 0, DELETE | SYNCHRONIZE), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Status(u"\\hello.txt", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_WRITE),
            STATUS_SHARING_VIOLATION) << "the new open must share what the reader does";
  EXPECT_EQ(Fcb->OpenCount, 1u);
  EXPECT_EQ(Fcb->UncleanCount, 1u);
  EXPECT_EQ(Fcb->ShareAccess.OpenCount, 1u);
  EXPECT_EQ(Status(u"\\hello.txt", FILE_OPEN, 0, FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0), STATUS_SUCCESS)
      << "attribute access neither conflicts nor counts";
  EXPECT_EQ(Status(u"\\hello.txt", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ), STATUS_SUCCESS);
  EXPECT_EQ(Fcb->ShareAccess.OpenCount, 2u);

  // A writable user mapping keeps out opens that do not share writing.
  HANDLE Mapped;
  ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &Mapped), STATUS_SUCCESS);
  HkMappedView View = HkMapSection(HkFileObjectOf(Mapped), false, true);
  EXPECT_EQ(Status(u"\\Docs\\Readme.txt", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ),
            STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Status(u"\\Docs\\Readme.txt", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, ShareAll), STATUS_SUCCESS);
  HkUnmapSection(View);

  // An image section in use refuses write access; the temporary open count goes back.
  HANDLE Image;
  ASSERT_EQ(OpenAs(u"\\Docs\\Sub\\deep.bin", &Image), STATUS_SUCCESS);
  PFCB ImageFcb = FcbOf(Image);
  View = HkMapSection(HkFileObjectOf(Image), true, false);
  EXPECT_EQ(Status(u"\\Docs\\Sub\\deep.bin", FILE_OPEN, 0, FILE_WRITE_DATA | SYNCHRONIZE), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(ImageFcb->OpenCount, 1u);
  EXPECT_EQ(ImageFcb->UncleanCount, 1u);
  EXPECT_EQ(ImageFcb->ShareAccess.OpenCount, 1u);
  HkUnmapSection(View);
  EXPECT_EQ(Status(u"\\Docs\\Sub\\deep.bin", FILE_OPEN, 0, FILE_WRITE_DATA | SYNCHRONIZE), STATUS_SUCCESS);
  EXPECT_EQ(ImageFcb->OpenCount, 2u);
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_CREATE_PURGING));
}

// A non-cached open added to a file whose handles are all non-cached throws away what
// earlier cached reads left in the cache, so that the handles never read around it; the
// volume's purge mark is gone afterwards, also when a user's mapping keeps the cache.
TEST_F(Opening, ANonCachedOpenAmongNonCachedHandlesPurgesTheCacheEarlierReadsLeft) {
  MountVolume();
  HANDLE Cached, First, Second, Third;
  UCHAR Buffer[512];
  IO_STATUS_BLOCK Iosb{};
  LARGE_INTEGER Offset{};
  auto ReadCached = [&] {
    ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &Cached), STATUS_SUCCESS);
    ASSERT_EQ(NtReadFile(Cached, nullptr, nullptr, nullptr, &Iosb, Buffer, sizeof(Buffer), &Offset, nullptr),
              STATUS_SUCCESS);
  };
  // The cache lets go of a stream on a worker: held back, the stream stays cached after
  // its last cached handle.
  struct HeldWork {
    HeldWork() { HkWorkQueueStepMode(true); }
    ~HeldWork() { HkWorkQueueStepMode(false); }
  } Held;
  ReadCached();
  PSECTION_OBJECT_POINTERS Sections = &FcbOf(Cached)->NonPaged->SectionObjectPointers;
  CloseHandle(Cached);
  ASSERT_GT(HkCachedViews(Sections), 0u);
  // The first handle since has no other to be kept consistent with: nothing is purged.
  ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &First, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING), STATUS_SUCCESS);
  EXPECT_GT(HkCachedViews(Sections), 0u);
  ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &Second, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING), STATUS_SUCCESS);
  EXPECT_EQ(HkCachedViews(Sections), 0u);
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_CREATE_PURGING));

  // A user's view of the file keeps the cache: the purge fails and the open goes on.
  ReadCached();
  HkMappedView View = HkMapSection(HkFileObjectOf(Cached), false, false);
  ASSERT_NE(View, nullptr);
  CloseHandle(Cached);
  ASSERT_GT(HkCachedViews(Sections), 0u);
  ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &Third, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING), STATUS_SUCCESS);
  EXPECT_GT(HkCachedViews(Sections), 0u);
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_CREATE_PURGING));
  EXPECT_EQ(FcbOf(Third)->NonCachedUncleanCount, 3u);
  HkUnmapSection(View);
}

// Making a section of a file acquires its Fcb through the file system's callback: a
// mapping waits while another thread holds the Fcb, and leaves it free once made, readers
// only or with a writer open.
TEST_F(Opening, MappingAFileWaitsForItsFcbAndLeavesItFree) {
  MountVolume();
  HANDLE Reader, Writer;
  ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &Reader), STATUS_SUCCESS);
  PERESOURCE Resource = FcbOf(Reader)->Header.Resource;
  ASSERT_NE(Resource, nullptr);
  auto AcquireAtOnce = [Resource] {
    KeEnterCriticalRegion();
    BOOLEAN Acquired = ExAcquireResourceExclusiveLite(Resource, FALSE);
    if (Acquired) ExReleaseResourceLite(Resource);
    KeLeaveCriticalRegion();
    return Acquired;
  };

  KEVENT Held, Release;
  KeInitializeEvent(&Held, NotificationEvent, FALSE);
  KeInitializeEvent(&Release, NotificationEvent, FALSE);
  std::thread Holder([&] {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(Resource, TRUE);
    KeSetEvent(&Held, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&Release, Executive, KernelMode, FALSE, nullptr);
    ExReleaseResourceLite(Resource);
    KeLeaveCriticalRegion();
  });
  KeWaitForSingleObject(&Held, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS Status = STATUS_UNSUCCESSFUL;
  auto Mapping = std::async(std::launch::async, [&] { return HkMapSection(HkFileObjectOf(Reader), false, false, &Status); });
  EXPECT_EQ(Mapping.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
      << "the section is made while the Fcb is held";
  KeSetEvent(&Release, IO_NO_INCREMENT, FALSE);
  HkMappedView View = Mapping.get();
  Holder.join();
  ASSERT_NE(View, nullptr);
  EXPECT_EQ(Status, STATUS_SUCCESS);
  EXPECT_TRUE(AcquireAtOnce()) << "the Fcb is released once the section is made";
  HkUnmapSection(View);

  ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &Writer, FILE_OPEN, 0, FILE_WRITE_DATA | SYNCHRONIZE), STATUS_SUCCESS);
  View = HkMapSection(HkFileObjectOf(Writer), false, true, &Status);
  ASSERT_NE(View, nullptr);
  EXPECT_EQ(Status, STATUS_SUCCESS);
  EXPECT_TRUE(AcquireAtOnce());
  HkUnmapSection(View);
}

TEST_F(Opening, ExclusiveVolumeOpensLockTheVolumeUntilCleanup) {
  MountVolume();
  HANDLE File, Volume;
  ASSERT_EQ(OpenAs(u"\\hello.txt", &File), STATUS_SUCCESS);
  EXPECT_EQ(Status(u"", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, 0), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Status(u"", FILE_OPEN, 0, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, FILE_SHARE_READ),
            STATUS_SHARING_VIOLATION) << "write access takes reads out of the share mode";
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_LOCKED));
  EXPECT_EQ(Vcb->VolumeOpenCount, 0u);
  CloseHandle(File);

  ASSERT_EQ(OpenAs(u"", &Volume, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, 0), STATUS_SUCCESS);
  EXPECT_TRUE(FlagOn(Vcb->State, VCB_LOCKED));
  EXPECT_EQ(Vcb->LockFileObject, HkFileObjectOf(Volume));
  EXPECT_EQ(Status(u"\\hello.txt"), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Status(u""), STATUS_ACCESS_DENIED);
  CloseHandle(Volume);
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_LOCKED));
  EXPECT_EQ(Status(u"\\hello.txt"), STATUS_SUCCESS);

  // Shared volume handles follow share access among themselves.
  ASSERT_EQ(OpenAs(u"", &Volume, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE),
            STATUS_SUCCESS);
  EXPECT_FALSE(FlagOn(Vcb->State, VCB_LOCKED));
  EXPECT_EQ(Status(u"", FILE_OPEN, 0, FILE_WRITE_DATA | SYNCHRONIZE, ShareAll), STATUS_SUCCESS);
  EXPECT_EQ(Status(u"", FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_WRITE | FILE_SHARE_DELETE),
            STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Vcb->VolumeOpenCount, 2u);

  // Locked and then dismounted through its handle, the volume is gone for every open.
  for (HANDLE Handle : std::vector<HANDLE>(Opened)) CloseHandle(Handle);
  HkSetCallerPrivileges({SE_MANAGE_VOLUME_PRIVILEGE});
  NTSTATUS Locked = OpenAs(u"", &Volume, FILE_OPEN, 0, FILE_READ_DATA | SYNCHRONIZE, 0);
  HkSetCallerPrivileges({});
  ASSERT_EQ(Locked, STATUS_SUCCESS);
  IO_STATUS_BLOCK Iosb{};
  ASSERT_EQ(NtFsControlFile(Volume, nullptr, nullptr, nullptr, &Iosb, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0),
            STATUS_SUCCESS);
  EXPECT_TRUE(FlagOn(Vcb->State, VCB_LOCKED));
  EXPECT_EQ(Status(u"\\hello.txt"), STATUS_VOLUME_DISMOUNTED);
  EXPECT_EQ(Status(u""), STATUS_VOLUME_DISMOUNTED);
}

TEST_F(Opening, PrivilegesDecideSystemSecurityAndVolumeManagement) {
  MountVolume();
  EXPECT_EQ(Status(u"\\new", FILE_OPEN_IF, 0, ACCESS_SYSTEM_SECURITY | SYNCHRONIZE), STATUS_ACCESS_DENIED);
  HANDLE File, Volume;
  ASSERT_EQ(OpenAs(u"\\hello.txt", &File), STATUS_SUCCESS);
  EXPECT_FALSE(FlagOn(CcbOf(File)->Flags, CCB_MANAGE_VOLUME));
  ASSERT_EQ(OpenAs(u"", &Volume, FILE_OPEN, 0, SYNCHRONIZE), STATUS_SUCCESS);
  EXPECT_FALSE(FlagOn(CcbOf(Volume)->Flags, CCB_MANAGE_VOLUME));

  HkSetCallerPrivileges({SE_SECURITY_PRIVILEGE, SE_MANAGE_VOLUME_PRIVILEGE});
  EXPECT_EQ(Status(u"\\new", FILE_OPEN_IF, 0, ACCESS_SYSTEM_SECURITY | SYNCHRONIZE), STATUS_MEDIA_WRITE_PROTECTED);
  ASSERT_EQ(OpenAs(u"\\hello.txt", &File), STATUS_SUCCESS);
  EXPECT_TRUE(FlagOn(CcbOf(File)->Flags, CCB_MANAGE_VOLUME));
  ASSERT_EQ(OpenAs(u"\\Docs\\Readme.txt", &File), STATUS_SUCCESS);
  EXPECT_TRUE(FlagOn(CcbOf(File)->Flags, CCB_MANAGE_VOLUME));
  ASSERT_EQ(OpenAs(u"", &Volume, FILE_OPEN, 0, SYNCHRONIZE), STATUS_SUCCESS);
  EXPECT_TRUE(FlagOn(CcbOf(Volume)->Flags, CCB_MANAGE_VOLUME));
  HkSetCallerPrivileges({});
}

TEST_F(Opening, PoolFailuresLeaveNoLeakAndNoHalfLinkedFcb) {
  MountVolume();
  const ULONG Tags[] = {TAG_IRP_CONTEXT, TAG_FCB, TAG_NONPAGED_FCB, TAG_CCB, TAG_NAME_BUFFER, TAG_FULL_NAME, TAG_RUNS};
  const std::u16string Paths[] = {u"\\Docs\\Sub\\deep.bin", u"\\Docs\\Readme.txt", u"\\Docs\\Sub", u"\\", u"",
                                  u"\\hello.txt"};
  for (const std::u16string& Path : Paths) {
    for (ULONG Tag : Tags) {
      HkFailAllocationsOfTag(Tag);
      HANDLE Handle;
      NTSTATUS Result = OpenAs(Path, &Handle);
      HkClearAllocationFaults();
      if (NT_SUCCESS(Result)) {
        CloseHandle(Handle);
      } else {
        EXPECT_EQ(Result, STATUS_INSUFFICIENT_RESOURCES) << std::string(Path.begin(), Path.end()) << " "
                                                          << HkTagName(Tag);
      }
      ExpectNoFileFcbWithoutOpens();
      ASSERT_EQ(OpenAs(Path, &Handle), STATUS_SUCCESS) << "a failed open leaves nothing in the way";
      CloseHandle(Handle);
    }
  }
}

}  // namespace
