// Share access as the I/O manager keeps it: which accesses count, how each opener's share
// mode limits the others, and that removing an open restores what it took.
#include "StandInTestSupport.h"

namespace {

struct Open {
  ACCESS_MASK Access;
  ULONG Share;
  FILE_OBJECT Object{};
};

const ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

NTSTATUS CheckAndCount(Open& O, SHARE_ACCESS& Share) {
  return IoCheckShareAccess(O.Access, O.Share, &O.Object, &Share, TRUE);
}

TEST(ShareAccess, EachAccessMeetsTheMatchingShareModeOfEarlierOpeners) {
  struct Case {
    ACCESS_MASK Access;
    ULONG MissingShare;
  };
  const Case Cases[] = {{FILE_READ_DATA, FILE_SHARE_READ}, {FILE_EXECUTE, FILE_SHARE_READ},
                        {FILE_WRITE_DATA, FILE_SHARE_WRITE}, {FILE_APPEND_DATA, FILE_SHARE_WRITE},
                        {DELETE, FILE_SHARE_DELETE}};
  for (const Case& C : Cases) {
    SHARE_ACCESS Share{};
    Open First{FILE_READ_ATTRIBUTES | SYNCHRONIZE | FILE_READ_DATA, ShareAll & ~C.MissingShare};
    IoSetShareAccess(First.Access, First.Share, &First.Object, &Share);
    EXPECT_EQ(Share.OpenCount, 1u);
    Open Second{C.Access, ShareAll};
    EXPECT_EQ(CheckAndCount(Second, Share), STATUS_SHARING_VIOLATION) << std::hex << C.Access;
    EXPECT_EQ(Share.OpenCount, 1u) << "a refused open is not counted";
    Open Allowed{C.Access, ShareAll};
    First.Share = ShareAll;
    IoSetShareAccess(First.Access, First.Share, &First.Object, &Share);
    EXPECT_EQ(CheckAndCount(Allowed, Share), STATUS_SUCCESS) << std::hex << C.Access;
    EXPECT_EQ(Share.OpenCount, 2u);
  }
}

TEST(ShareAccess, ALaterOpenerMustShareWhatEarlierOpenersHave) {
  SHARE_ACCESS Share{};
  Open Reader{FILE_READ_DATA, ShareAll};
  IoSetShareAccess(Reader.Access, Reader.Share, &Reader.Object, &Share);
  Open Writer{FILE_WRITE_DATA, ShareAll};
  ASSERT_EQ(CheckAndCount(Writer, Share), STATUS_SUCCESS);
  Open Deleter{DELETE, ShareAll};
  ASSERT_EQ(CheckAndCount(Deleter, Share), STATUS_SUCCESS);

  Open NoReaders{FILE_READ_ATTRIBUTES | FILE_READ_EA | FILE_WRITE_DATA, FILE_SHARE_WRITE | FILE_SHARE_DELETE};
  EXPECT_EQ(CheckAndCount(NoReaders, Share), STATUS_SHARING_VIOLATION);
  Open NoWriters{FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE};
  EXPECT_EQ(CheckAndCount(NoWriters, Share), STATUS_SHARING_VIOLATION);
  Open NoDeleters{FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE};
  EXPECT_EQ(CheckAndCount(NoDeleters, Share), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Share.OpenCount, 3u);
  EXPECT_EQ(Share.Readers, 1u);
  EXPECT_EQ(Share.Writers, 1u);
  EXPECT_EQ(Share.Deleters, 1u);
  EXPECT_EQ(Share.SharedRead, 3u);
}

TEST(ShareAccess, OpensWithoutDataOrDeleteAccessNeitherCountNorConflict) {
  SHARE_ACCESS Share{};
  Open Exclusive{FILE_READ_DATA | FILE_WRITE_DATA | DELETE, 0};
  IoSetShareAccess(Exclusive.Access, Exclusive.Share, &Exclusive.Object, &Share);
  Open Attributes{FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE, 0};
  EXPECT_EQ(CheckAndCount(Attributes, Share), STATUS_SUCCESS);
  EXPECT_EQ(Share.OpenCount, 1u);
  IoRemoveShareAccess(&Attributes.Object, &Share);
  EXPECT_EQ(Share.OpenCount, 1u) << "removing an uncounted open changes nothing";

  SHARE_ACCESS FirstUncounted{};
  IoSetShareAccess(Attributes.Access, 0, &Attributes.Object, &FirstUncounted);
  EXPECT_EQ(FirstUncounted.OpenCount, 0u);
  EXPECT_EQ(CheckAndCount(Exclusive, FirstUncounted), STATUS_SUCCESS);
}

TEST(ShareAccess, CheckWithoutUpdateThenUpdateAndRemoveRestoreTheCounts) {
  SHARE_ACCESS Share{};
  Open First{FILE_READ_DATA, FILE_SHARE_READ};
  IoSetShareAccess(First.Access, First.Share, &First.Object, &Share);
  const SHARE_ACCESS AfterFirst = Share;

  Open Second{FILE_READ_DATA | FILE_EXECUTE, FILE_SHARE_READ | FILE_SHARE_DELETE};
  ASSERT_EQ(IoCheckShareAccess(Second.Access, Second.Share, &Second.Object, &Share, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Share.OpenCount, 1u) << "a check without update counts nothing";
  EXPECT_TRUE(Second.Object.ReadAccess);
  EXPECT_FALSE(Second.Object.WriteAccess);
  EXPECT_TRUE(Second.Object.SharedDelete);
  IoUpdateShareAccess(&Second.Object, &Share);
  EXPECT_EQ(Share.OpenCount, 2u);
  EXPECT_EQ(Share.Readers, 2u);
  EXPECT_EQ(Share.SharedDelete, 1u);

  Open Writer{FILE_WRITE_DATA, ShareAll};
  EXPECT_EQ(CheckAndCount(Writer, Share), STATUS_SHARING_VIOLATION);
  IoRemoveShareAccess(&Second.Object, &Share);
  EXPECT_EQ(0, std::memcmp(&Share, &AfterFirst, sizeof Share));
  IoRemoveShareAccess(&First.Object, &Share);
  const SHARE_ACCESS Nothing{};
  EXPECT_EQ(0, std::memcmp(&Share, &Nothing, sizeof Share)) << "the last removal leaves nothing";
  EXPECT_EQ(CheckAndCount(Writer, Share), STATUS_SUCCESS);
}

}  // namespace
