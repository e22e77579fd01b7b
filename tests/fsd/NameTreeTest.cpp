// The per-directory name trees: a name finds the Fcb of exactly the file the engine's
// lookup would find under it, on case-insensitive and case-sensitive volumes; a file met
// again under another spelling keeps its one Fcb; a stale Fcb gives way to a new one.
#include "DriverFixture.h"

namespace {

using apfsw::Entry;

Entry File(const std::string& Name) {
  Entry File;
  File.name = Name;
  File.size = 100;
  return File;
}

const std::string Theta = "\xCE\xB8";          // θ
const std::string ThetaSymbol = "\xCF\xB4";    // ϴ
const std::string CapitalTheta = "\xCE\x98";   // Θ
const std::string Sigma = "\xCF\x83";          // σ
const std::string FinalSigma = "\xCF\x82";     // ς
const std::string CapitalSigma = "\xCE\xA3";   // Σ
const std::string KelvinSign = "\xE2\x84\xAA"; // K

class NameTrees : public WrittenVolume {
 protected:
  void OpenVolume(bool CaseInsensitive, std::vector<Entry> Files) {
    apfsw::ContainerSpec Spec;
    Spec.volumes.resize(1);
    Spec.volumes[0].caseInsensitive = CaseInsensitive;
    Spec.volumes[0].root.children = std::move(Files);
    Open(Spec);
    if (CaseInsensitive) SetFlag(Vcb->State, VCB_CASE_INSENSITIVE);
    FsRtlEnterFileSystem();
    Root = CreateRootFcb(&IrpContext, Vcb);
  }

  // Opens Name as create would after missing the name tree: the engine's lookup, then an
  // Fcb for what it found (an existing one when the file has a live Fcb).
  PFCB OpenByEngine(const std::string& Name) {
    FileInfo Info{};
    FsNode* Node = Lookup(Name, &Info);
    EXPECT_NE(Node, nullptr) << Name;
    if (Node == nullptr) return nullptr;
    PFCB Fcb = CreateFileFcb(&IrpContext, Vcb, Root, Node, &Info, FALSE);
    FsNodeRelease(Node);
    if (std::find(Fcbs_.begin(), Fcbs_.end(), Fcb) == Fcbs_.end()) Fcbs_.push_back(Fcb);
    return Fcb;
  }

  PFCB Find(const std::string& Name) {
    return FindChildFcb(&IrpContext, Root, (const UCHAR*)Name.data(), (ULONG)Name.size());
  }

  static bool EngineMatches(const std::string& A, const std::string& B, bool CaseInsensitive) {
    return NameEqual((const uint8_t*)A.data(), (uint32_t)A.size(), (const uint8_t*)B.data(), (uint32_t)B.size(),
                     !CaseInsensitive);
  }

  void TearDown() override {
    // Children before the root, each once.
    for (PFCB Fcb : Fcbs_) DeleteFcb(&IrpContext, &Fcb);
    if (Root != nullptr) {
      DeleteFcb(&IrpContext, &Root);
      FsRtlExitFileSystem();
    }
    WrittenVolume::TearDown();
  }

  PFCB Root = nullptr;
  std::vector<PFCB> Fcbs_;
};

TEST_F(NameTrees, OnACaseInsensitiveVolumeANameFindsTheFcbTheEnginesLookupWould) {
  OpenVolume(true, {File(Theta), File(Sigma), File("k"), File("readme.txt")});
  PFCB ThetaFcb = OpenByEngine(Theta);
  PFCB SigmaFcb = OpenByEngine(Sigma);
  PFCB KFcb = OpenByEngine("k");
  PFCB Readme = OpenByEngine("readme.txt");
  struct Probe {
    std::string Stored;
    std::string Spelled;
    PFCB Fcb;
  };
  const Probe Probes[] = {{Theta, Theta, ThetaFcb},        {Theta, ThetaSymbol, ThetaFcb},
                          {Theta, CapitalTheta, ThetaFcb}, {Sigma, FinalSigma, SigmaFcb},
                          {Sigma, CapitalSigma, SigmaFcb}, {"k", KelvinSign, KFcb},
                          {"k", "K", KFcb},                {"readme.txt", "README.TXT", Readme}};
  for (const Probe& Each : Probes) {
    bool Same = EngineMatches(Each.Stored, Each.Spelled, true);
    EXPECT_EQ(Find(Each.Spelled), Same ? Each.Fcb : nullptr) << Each.Spelled;
  }
  // The engine's lookup under another spelling finds the open file again: its Fcb is
  // reused rather than a second one made under the same name.
  EXPECT_EQ(OpenByEngine(ThetaSymbol), ThetaFcb);
  EXPECT_EQ(OpenByEngine("README.TXT"), Readme);
  EXPECT_EQ(Fcbs_.size(), 4u);
}

TEST_F(NameTrees, OnACaseSensitiveVolumeSpellingsAreFilesOfTheirOwn) {
  OpenVolume(false, {File(Theta), File(ThetaSymbol), File("a"), File("A")});
  PFCB ThetaFcb = OpenByEngine(Theta);
  PFCB SymbolFcb = OpenByEngine(ThetaSymbol);
  PFCB Lower = OpenByEngine("a");
  PFCB Upper = OpenByEngine("A");
  EXPECT_NE(ThetaFcb, SymbolFcb);
  EXPECT_NE(Lower, Upper);
  EXPECT_EQ(Find(Theta), ThetaFcb);
  EXPECT_EQ(Find(ThetaSymbol), SymbolFcb);
  EXPECT_EQ(Find("A"), Upper);
  EXPECT_EQ(Find(CapitalTheta), nullptr);
}

TEST_F(NameTrees, AStaleFcbGivesWayToANewOneAndStaysBad) {
  OpenVolume(true, {File("one"), File("two"), File("three")});
  PFCB Two = OpenByEngine("two");
  PFCB One = OpenByEngine("one");
  OpenByEngine("three");
  SetFcbCondition(&IrpContext, One, FcbNeedsRecheck, FALSE);
  PFCB Again = OpenByEngine("ONE");
  EXPECT_NE(Again, One);
  EXPECT_EQ(One->Condition, FcbBad);
  EXPECT_FALSE(FlagOn(One->State, FCB_IN_NAME_TREE));
  EXPECT_EQ(Find("one"), Again);
  EXPECT_EQ(Find("two"), Two);
  // Splaying and deletion keep every other name findable.
  DeleteFcb(&IrpContext, &Fcbs_[0]);
  Fcbs_.erase(Fcbs_.begin());
  EXPECT_EQ(Find("two"), nullptr);
  EXPECT_EQ(Find("one"), Again);
  EXPECT_NE(Find("three"), nullptr);
}

// Names cross between the engine's UTF-8 and Windows' UTF-16 in buffers that start on the
// caller's stack and grow into pool; only pool buffers are ever freed.
using NameBuffers = LoadedDriver;

IRP_CONTEXT WaitingContext() {
  IRP_CONTEXT Context{};
  Context.NodeTypeCode = NODE_TYPE_IRP_CONTEXT;
  Context.NodeByteSize = sizeof(IRP_CONTEXT);
  Context.Flags = IRPCTX_WAIT;
  return Context;
}

// The status Body raised, or STATUS_SUCCESS.
template <typename Body>
NTSTATUS RaisedBy(Body Run) {
  NTSTATUS Status = STATUS_SUCCESS;
  SEH_TRY {
    Run();
  } SEH_EXCEPT (EXCEPTION_EXECUTE_HANDLER) {
    Status = SEH_EXCEPTION_CODE();
  } SEH_END;
  return Status;
}

TEST_F(NameBuffers, ANameStartedOnTheStackGrowsIntoPoolAndOnlyThePoolBufferIsFreed) {
  IRP_CONTEXT IrpContext = WaitingContext();
  WCHAR Stack[8];
  UNICODE_STRING Name{0, sizeof(Stack), Stack};
  Utf8ToName(&IrpContext, (const UCHAR*)"abc", 3, &Name, FALSE);
  EXPECT_EQ(Name.Buffer, Stack);
  EXPECT_EQ(std::u16string((const char16_t*)Name.Buffer, Name.Length / 2), u"abc");
  EXPECT_EQ(Name.Buffer[3], 0);

  const std::string Long = "a name longer than the stack buffer, \xC3\xA9t\xC3\xA9 included";
  Utf8ToName(&IrpContext, (const UCHAR*)Long.data(), (ULONG)Long.size(), &Name, FALSE);
  EXPECT_NE(Name.Buffer, Stack);
  EXPECT_EQ(Name.Length, (Long.size() - 2) * 2);

  // Back to UTF-8, again from a stack buffer too small for it.
  CHAR Bytes[4];
  UNICODE_STRING Utf8{0, sizeof(Bytes), (PWSTR)Bytes};
  NameToUtf8(&IrpContext, &Name, &Utf8, FALSE);
  EXPECT_NE((PVOID)Utf8.Buffer, (PVOID)Bytes);
  EXPECT_EQ(std::string((const char*)Utf8.Buffer, Utf8.Length), Long);
  EXPECT_EQ(((const char*)Utf8.Buffer)[Utf8.Length], 0);
  // One that fits stays where it was.
  UNICODE_STRING Small{0, sizeof(Bytes), (PWSTR)Bytes};
  UNICODE_STRING Two{4, 4, (PWSTR)u"ab"};
  NameToUtf8(&IrpContext, &Two, &Small, FALSE);
  EXPECT_EQ((PVOID)Small.Buffer, (PVOID)Bytes);
  EXPECT_EQ(std::string(Bytes, 3), std::string("ab\0", 3));

  FreeNameBuffer(&Utf8);
  FreeNameBuffer(&Name);
  // Buffers of the caller's frame are only forgotten.
  FreeNameBuffer(&Small);
  UNICODE_STRING OnStack{0, sizeof(Stack), Stack};
  FreeNameBuffer(&OnStack);
  EXPECT_EQ(OnStack.Buffer, nullptr);
  EXPECT_EQ(OnStack.MaximumLength, 0);
}

TEST_F(NameBuffers, SequencesWithoutACounterpartFailUnlessAllowedAndThenBecomeReplacementCharacters) {
  IRP_CONTEXT IrpContext = WaitingContext();
  UNICODE_STRING Name{};
  const UCHAR NotUtf8[] = {'a', 0xFF, 'b'};
  EXPECT_EQ(RaisedBy([&] { Utf8ToName(&IrpContext, NotUtf8, 3, &Name, FALSE); }), STATUS_UNMAPPABLE_CHARACTER);
  Utf8ToName(&IrpContext, NotUtf8, 3, &Name, TRUE);
  EXPECT_EQ(std::u16string((const char16_t*)Name.Buffer, Name.Length / 2), u"a\uFFFDb");

  const char16_t Unpaired[] = {u'x', 0xD800, u'y'};
  UNICODE_STRING Wide{sizeof(Unpaired), sizeof(Unpaired), (PWSTR)Unpaired};
  UNICODE_STRING Utf8{};
  EXPECT_EQ(RaisedBy([&] { NameToUtf8(&IrpContext, &Wide, &Utf8, FALSE); }), STATUS_UNMAPPABLE_CHARACTER);
  NameToUtf8(&IrpContext, &Wide, &Utf8, TRUE);
  EXPECT_EQ(std::string((const char*)Utf8.Buffer, Utf8.Length), "x\xEF\xBF\xBDy");
  FreeNameBuffer(&Utf8);
  FreeNameBuffer(&Name);
}

}  // namespace
