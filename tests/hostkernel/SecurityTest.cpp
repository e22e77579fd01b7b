// The access check over a DACL, where the driver's volume opens do not take it: the
// rights MAXIMUM_ALLOWED finds, entries in order, deny-only groups, previously granted and
// kernel-mode access, descriptors without a DACL and the system-security right.
#include "StandInTestSupport.h"

namespace {

const ULONG Enabled = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

struct Verdict {
  BOOLEAN Granted;
  ACCESS_MASK Rights;
  NTSTATUS Status;
};

Verdict Check(const std::vector<UCHAR>& Descriptor, ACCESS_MASK Desired, ACCESS_MASK Previously = 0,
              KPROCESSOR_MODE Mode = UserMode) {
  SECURITY_SUBJECT_CONTEXT Subject{nullptr, SecurityAnonymous, HkCallerToken(), nullptr};
  Verdict Result{FALSE, 0xDEAD, STATUS_PENDING};
  PPRIVILEGE_SET Privileges = (PPRIVILEGE_SET)1;
  Result.Granted = SeAccessCheck((PSECURITY_DESCRIPTOR)Descriptor.data(), &Subject, FALSE, Desired, Previously,
                                 &Privileges, IoGetFileObjectGenericMapping(), Mode, &Result.Rights, &Result.Status);
  EXPECT_EQ(Privileges, nullptr);
  EXPECT_EQ(Result.Granted, Result.Status == STATUS_SUCCESS);
  if (!Result.Granted) {
    EXPECT_EQ(Result.Rights, 0u);
  }
  return Result;
}

TEST(AccessCheck, EntriesDecideInOrderAndDenyOnlyGroupsOnlyDeny) {
  PSID Users = SeExports->SeAliasUsersSid;
  PSID Administrators = SeExports->SeAliasAdminsSid;
  HkSetCallerGroups({{Users, Enabled}, {Administrators, SE_GROUP_USE_FOR_DENY_ONLY}});
  std::vector<UCHAR> Dacl = HkSecurityDescriptor({{true, Users, FILE_READ_DATA | FILE_READ_ATTRIBUTES},
                                                   {false, Administrators, FILE_READ_ATTRIBUTES | FILE_WRITE_DATA},
                                                   {true, Users, FILE_WRITE_DATA | SYNCHRONIZE},
                                                   {true, Administrators, DELETE}});

  // Everything allowed before a deny entry refuses it; the deny-only alias grants nothing.
  Verdict Most = Check(Dacl, MAXIMUM_ALLOWED);
  EXPECT_TRUE(Most.Granted);
  EXPECT_EQ(Most.Rights, (ACCESS_MASK)(FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE));
  EXPECT_EQ(Check(Dacl, MAXIMUM_ALLOWED | FILE_WRITE_DATA).Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Check(Dacl, FILE_WRITE_DATA).Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Check(Dacl, DELETE).Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Check(Dacl, GENERIC_READ).Status, STATUS_ACCESS_DENIED) << "READ_CONTROL and FILE_READ_EA are not allowed";
  EXPECT_EQ(Check(Dacl, FILE_READ_DATA | DELETE, DELETE).Rights, (ACCESS_MASK)(FILE_READ_DATA | DELETE));
  EXPECT_EQ(Check(Dacl, DELETE, 0, KernelMode).Rights, (ACCESS_MASK)DELETE);
  EXPECT_EQ(Check(Dacl, 0).Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(Check(Dacl, ACCESS_SYSTEM_SECURITY).Status, STATUS_PRIVILEGE_NOT_HELD);

  // No DACL protects nothing; an empty one grants nothing.
  std::vector<UCHAR> Open = HkSecurityDescriptor({}, false);
  EXPECT_EQ(Check(Open, MAXIMUM_ALLOWED).Rights, (ACCESS_MASK)FILE_ALL_ACCESS);
  EXPECT_EQ(Check(Open, DELETE).Rights, (ACCESS_MASK)DELETE);
  EXPECT_EQ(Check(HkSecurityDescriptor({}), MAXIMUM_ALLOWED).Status, STATUS_ACCESS_DENIED);

  // A filtered token turns the user's own groups deny-only, and goes with its last reference.
  size_t Tokens = HkLiveTokens();
  TOKEN_GROUPS WithoutUsers{1, {{Users, 0}}};
  PACCESS_TOKEN Filtered = nullptr;
  ASSERT_EQ(SeFilterToken(HkCallerToken(), 0, &WithoutUsers, nullptr, nullptr, &Filtered), STATUS_SUCCESS);
  EXPECT_EQ(HkLiveTokens(), Tokens + 1);
  SECURITY_SUBJECT_CONTEXT Subject{Filtered, SecurityImpersonation, HkCallerToken(), nullptr};
  ACCESS_MASK Rights = 0;
  NTSTATUS Status = STATUS_SUCCESS;
  EXPECT_FALSE(SeAccessCheck(Dacl.data(), &Subject, FALSE, FILE_READ_DATA, 0, nullptr, IoGetFileObjectGenericMapping(),
                             UserMode, &Rights, &Status))
      << "the client token, not the primary one, is checked";
  EXPECT_EQ(Status, STATUS_ACCESS_DENIED);
  ObDereferenceObject(Filtered);
  EXPECT_EQ(HkLiveTokens(), Tokens);
  ExpectNothingAlive();
}

}  // namespace
