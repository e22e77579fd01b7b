// The run-time library's name helpers as file systems meet them: wildcard matching with
// the DOS forms, case handling, wildcard detection, name comparison, upcasing and the
// splitting of paths into components.
#include <string>

#include "StandInTestSupport.h"

namespace {

UNICODE_STRING View(const std::u16string& Text) {
  return UNICODE_STRING{(USHORT)(Text.size() * sizeof(WCHAR)), (USHORT)(Text.size() * sizeof(WCHAR)),
                        (PWSTR)Text.data()};
}

std::u16string Text(const UNICODE_STRING& String) {
  return String.Buffer == nullptr ? std::u16string() : std::u16string(String.Buffer, String.Length / sizeof(WCHAR));
}

// The text of a table case for failure messages (the cases are ASCII).
std::string Narrow(const std::u16string& Wide) { return std::string(Wide.begin(), Wide.end()); }

bool Matches(const std::u16string& Expression, const std::u16string& Name, bool IgnoreCase = false) {
  UNICODE_STRING E = View(Expression), N = View(Name);
  return FsRtlIsNameInExpression(&E, &N, IgnoreCase, nullptr);
}

struct MatchCase {
  const char16_t* Expression;
  const char16_t* Name;
  bool Expected;
};

TEST(NameExpression, WildcardsAndDosFormsMatchAsWindowsDefinesThem) {
  const MatchCase Cases[] = {
      // Plain characters match themselves, case included.
      {u"readme.txt", u"readme.txt", true},
      {u"readme.txt", u"README.TXT", false},
      {u"readme.txt", u"readme.tx", false},
      {u"", u"", true},
      {u"", u"a", false},
      {u"*", u"", false},
      // "*" takes any run, "?" exactly one character (a period included).
      {u"*", u"anything.at.all", true},
      {u"*.txt", u"notes.txt", true},
      {u"*.txt", u".txt", true},
      {u"*.txt", u"notes.txt.bak", false},
      {u"a*b*c", u"aXXbYYc", true},
      {u"a*b*c", u"aXXcYYb", false},
      {u"**", u"x", true},
      {u"?", u"x", true},
      {u"?", u"", false},
      {u"?", u"xy", false},
      {u"a?c", u"a.c", true},
      {u"???", u"ab", false},
      // DOS_STAR: any run that does not hold the name's last period.
      {u"<", u"noperiod", true},
      {u"<", u"has.period", false},
      {u"<.txt", u"notes.txt", true},
      {u"<.txt", u"a.b.txt", true},
      {u"<.txt", u"notes.txt.bak", false},
      {u"<\"*", u"file.ext", true},
      {u"<\"*", u"noext", true},
      {u"<\"*", u"a.b.c", true},
      {u"<", u"", false},
      // DOS_QM: one character, or nothing at a period or at the end (for the whole run).
      {u">>>", u"ab", true},
      {u">>>", u"abc", true},
      {u">>>", u"abcd", false},
      {u">>>.txt", u"ab.txt", true},
      {u">>>.txt", u"abcd.txt", false},
      {u">.txt", u".txt", true},
      {u"a>", u"a", true},
      {u"a>b", u"a.b", false},
      {u">>\">>", u"ab.c", true},
      // DOS_DOT: a period, or nothing at the end of the name.
      {u"a\"", u"a", true},
      {u"a\"", u"a.", true},
      {u"a\"b", u"a.b", true},
      {u"a\"b", u"ab", false},
      {u"a\"*", u"a", true},
      {u"a\"*", u"a.anything", true},
  };
  for (const MatchCase& Case : Cases)
    EXPECT_EQ(Matches(Case.Expression, Case.Name), Case.Expected)
        << "expression " << Narrow(Case.Expression) << " name " << Narrow(Case.Name);
}

TEST(NameExpression, IgnoringCaseUpcasesTheNameAndRequiresAnUpcasedExpression) {
  EXPECT_TRUE(Matches(u"README.*", u"readme.txt", true));
  EXPECT_TRUE(Matches(u"\u00C9T\u00C9*", u"\u00e9t\u00e9 2020", true));
  EXPECT_FALSE(Matches(u"README.*", u"readme.txt", false));
  // An upcase table given by the caller replaces the system's mapping.
  std::u16string Table(0x10000, u'\0');
  for (size_t C = 0; C < Table.size(); C++) Table[C] = (WCHAR)C;
  Table[u'x'] = u'Y';
  UNICODE_STRING Expression = RTL_CONSTANT_STRING(u"aYc"), Name = RTL_CONSTANT_STRING(u"axc");
  EXPECT_TRUE(FsRtlIsNameInExpression(&Expression, &Name, TRUE, Table.data()));
  EXPECT_EXIT(Matches(u"Readme.*", u"readme.txt", true), testing::ExitedWithCode(3), "not upcased");
}

TEST(NameExpression, WildcardDetectionLooksAtTheLastComponentOnly) {
  for (const char16_t* Wild : {u"*", u"a?b", u"x<", u"x>", u"a\"b", u"\\dir\\*.txt"}) {
    std::u16string Name(Wild);
    UNICODE_STRING String = View(Name);
    EXPECT_TRUE(FsRtlDoesNameContainWildCards(&String));
  }
  for (const char16_t* Tame : {u"", u"plain.txt", u"\\dir*\\plain", u"a b[c]"}) {
    std::u16string Name(Tame);
    UNICODE_STRING String = View(Name);
    EXPECT_FALSE(FsRtlDoesNameContainWildCards(&String));
  }
}

TEST(NameExpression, NamesAreEqualByLengthAndCharactersWithOptionalCase) {
  UNICODE_STRING Lower = RTL_CONSTANT_STRING(u"stra\u00dfe"), Upper = RTL_CONSTANT_STRING(u"STRA\u00dfE"),
                 Shorter = RTL_CONSTANT_STRING(u"stra");
  EXPECT_TRUE(FsRtlAreNamesEqual(&Lower, &Lower, FALSE, nullptr));
  EXPECT_FALSE(FsRtlAreNamesEqual(&Lower, &Upper, FALSE, nullptr));
  EXPECT_TRUE(FsRtlAreNamesEqual(&Lower, &Upper, TRUE, nullptr));
  EXPECT_FALSE(FsRtlAreNamesEqual(&Lower, &Shorter, TRUE, nullptr));
}

TEST(NameExpression, UpcasingMapsSimpleCasesInPlaceOrIntoPool) {
  EXPECT_EQ(RtlUpcaseUnicodeChar(u'q'), u'Q');
  EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00e9'), u'\u00c9');
  EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u03c3'), u'\u03a3');
  EXPECT_EQ(RtlUpcaseUnicodeChar(u'\u00df'), u'\u00df');  // no single-character upper case
  EXPECT_EQ(RtlUpcaseUnicodeChar((WCHAR)0xD83D), (WCHAR)0xD83D);
  std::u16string Source = u"Hello, w\u00f6rld";
  UNICODE_STRING From = View(Source), Upcased{};
  ASSERT_EQ(RtlUpcaseUnicodeString(&Upcased, &From, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(Text(Upcased), u"HELLO, W\u00d6RLD");
  RtlFreeUnicodeString(&Upcased);
  EXPECT_EQ(Upcased.Buffer, nullptr);
  WCHAR Small[4];
  UNICODE_STRING TooShort{0, sizeof(Small), Small};
  EXPECT_EQ(RtlUpcaseUnicodeString(&TooShort, &From, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(TooShort.Length, 0);
  ASSERT_EQ(RtlUpcaseUnicodeString(&From, &From, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Source, u"HELLO, W\u00d6RLD");
  ExpectNothingAlive();
}

struct DissectCase {
  const char16_t* Path;
  const char16_t* First;
  const char16_t* Rest;
};

TEST(NameExpression, DissectionSplitsOffOneComponentAfterOneLeadingBackslash) {
  const DissectCase Cases[] = {
      {u"", u"", u""},
      {u"name", u"name", u""},
      {u"\\name", u"name", u""},
      {u"\\dir\\sub\\file", u"dir", u"sub\\file"},
      {u"dir\\file", u"dir", u"file"},
      {u"dir\\\\file", u"dir", u"\\file"},
      {u"\\\\file", u"", u"file"},
      {u"dir\\", u"dir", u""},
  };
  for (const DissectCase& Case : Cases) {
    std::u16string Path(Case.Path);
    UNICODE_STRING First, Rest;
    FsRtlDissectName(View(Path), &First, &Rest);
    EXPECT_EQ(Text(First), Case.First);
    EXPECT_EQ(Text(Rest), Case.Rest);
    EXPECT_EQ(First.MaximumLength, First.Length);
    if (First.Length != 0) {
      EXPECT_GE(First.Buffer, Path.data());
    }
    if (Rest.Length != 0) {
      EXPECT_LE(Rest.Buffer + Rest.Length / 2, Path.data() + Path.size());
    }
  }
  UNICODE_STRING First, Rest;
  FsRtlDissectName(UNICODE_STRING{}, &First, &Rest);
  EXPECT_EQ(First.Buffer, nullptr);
  EXPECT_EQ(Rest.Buffer, nullptr);
}

}  // namespace
