// Upcasing, wildcard matching and path dissection.
#include <locale.h>
#include <wctype.h>

#include <vector>

#include "HostInternal.h"

namespace {

constexpr WCHAR Backslash = u'\\';
constexpr WCHAR Period = u'.';

// The C library's Unicode case tables stand in for the system's upcase table.
locale_t UnicodeLocale() {
  static const locale_t Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
  return Locale;
}

bool IsSurrogate(WCHAR C) { return C >= 0xD800 && C <= 0xDFFF; }

USHORT CharCount(PCUNICODE_STRING String) { return String->Length / sizeof(WCHAR); }

WCHAR UpcaseThrough(const WCHAR* UpcaseTable, WCHAR C) {
  return UpcaseTable != nullptr ? UpcaseTable[C] : RtlUpcaseUnicodeChar(C);
}

// A name as the matcher sees it: upcased when the comparison ignores case.
std::vector<WCHAR> ComparableName(PCUNICODE_STRING Name, BOOLEAN IgnoreCase, const WCHAR* UpcaseTable) {
  std::vector<WCHAR> Chars(Name->Buffer, Name->Buffer + CharCount(Name));
  if (IgnoreCase)
    for (WCHAR& C : Chars) C = UpcaseThrough(UpcaseTable, C);
  return Chars;
}

// Matches a pattern against a name by following every pattern position the name's prefix
// can have reached (a set of states over the pattern, one step per name character), so
// the cost stays proportional to pattern length times name length.
class ExpressionMatcher {
 public:
  ExpressionMatcher(const WCHAR* Pattern, size_t PatternLength, const std::vector<WCHAR>& Name)
      : Pattern_(Pattern), PatternLength_(PatternLength), Name_(Name), LastPeriod_(FindLastPeriod(Name)) {}

  bool Matches() {
    std::vector<bool> States(PatternLength_ + 1, false);
    States[0] = true;
    for (size_t At = 0; At < Name_.size(); At++) {
      AddEmptyMoves(States, At);
      States = Consume(States, At);
    }
    AddEmptyMoves(States, Name_.size());
    return States[PatternLength_];
  }

 private:
  static size_t FindLastPeriod(const std::vector<WCHAR>& Name) {
    for (size_t At = Name.size(); At-- > 0;)
      if (Name[At] == Period) return At;
    return SIZE_MAX;
  }

  size_t EndOfQuestionRun(size_t Position) const {
    while (Position < PatternLength_ && Pattern_[Position] == DOS_QM) Position++;
    return Position;
  }

  // The positions a pattern element can be passed without consuming the name character at
  // At (At == name length: the name is finished). Positions only grow, so one forward
  // pass reaches every closure.
  void AddEmptyMoves(std::vector<bool>& States, size_t At) const {
    const bool NameFinished = At == Name_.size();
    for (size_t Position = 0; Position < PatternLength_; Position++) {
      if (!States[Position]) continue;
      const WCHAR Element = Pattern_[Position];
      if (Element == u'*' || Element == DOS_STAR || (Element == DOS_DOT && NameFinished))
        States[Position + 1] = true;
      else if (Element == DOS_QM && (NameFinished || Name_[At] == Period))
        States[EndOfQuestionRun(Position)] = true;
    }
  }

  std::vector<bool> Consume(const std::vector<bool>& States, size_t At) const {
    std::vector<bool> Next(PatternLength_ + 1, false);
    const WCHAR C = Name_[At];
    for (size_t Position = 0; Position < PatternLength_; Position++) {
      if (!States[Position]) continue;
      switch (Pattern_[Position]) {
        case u'*':
          Next[Position] = true;
          break;
        case DOS_STAR:
          if (At != LastPeriod_) Next[Position] = true;
          break;
        case u'?':
          Next[Position + 1] = true;
          break;
        case DOS_QM:
          if (C != Period) Next[Position + 1] = true;
          break;
        case DOS_DOT:
          if (C == Period) Next[Position + 1] = true;
          break;
        default:
          if (Pattern_[Position] == C) Next[Position + 1] = true;
      }
    }
    return Next;
  }

  const WCHAR* Pattern_;
  size_t PatternLength_;
  const std::vector<WCHAR>& Name_;
  size_t LastPeriod_;
};

}  // namespace

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  if (SourceCharacter < 0x80)
    return SourceCharacter >= u'a' && SourceCharacter <= u'z' ? (WCHAR)(SourceCharacter - 0x20) : SourceCharacter;
  if (IsSurrogate(SourceCharacter) || UnicodeLocale() == (locale_t)0) return SourceCharacter;
  const wint_t Upper = towupper_l(SourceCharacter, UnicodeLocale());
  return Upper <= 0xFFFF && !IsSurrogate((WCHAR)Upper) ? (WCHAR)Upper : SourceCharacter;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString) {
  const USHORT Length = SourceString->Length;
  if (AllocateDestinationString) {
    auto* Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, Length == 0 ? sizeof(WCHAR) : Length, PoolTag("Strg"));
    if (Buffer == nullptr) return STATUS_NO_MEMORY;
    DestinationString->Buffer = Buffer;
    DestinationString->MaximumLength = Length;
  } else if (DestinationString->MaximumLength < Length) {
    return STATUS_BUFFER_OVERFLOW;
  }
  for (USHORT Index = 0; Index < CharCount(SourceString); Index++)
    DestinationString->Buffer[Index] = RtlUpcaseUnicodeChar(SourceString->Buffer[Index]);
  DestinationString->Length = Length;
  return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString->Buffer != nullptr) ExFreePoolWithTag(UnicodeString->Buffer, PoolTag("Strg"));
  *UnicodeString = UNICODE_STRING{};
}

BOOLEAN FsRtlDoesNameContainWildCards(PUNICODE_STRING Name) {
  for (USHORT Index = CharCount(Name); Index-- > 0;) {
    if (Name->Buffer[Index] == Backslash) return FALSE;
    if (FsRtlIsUnicodeCharacterWild(Name->Buffer[Index])) return TRUE;
  }
  return FALSE;
}

BOOLEAN FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name, BOOLEAN IgnoreCase,
                                PWCHAR UpcaseTable) {
  if (IgnoreCase)
    for (USHORT Index = 0; Index < CharCount(Expression); Index++)
      if (UpcaseThrough(UpcaseTable, Expression->Buffer[Index]) != Expression->Buffer[Index])
        hk::Violation("FsRtlIsNameInExpression ignoring case with an expression that is not upcased");
  if (Expression->Length == 0 || Name->Length == 0) return Expression->Length == 0 && Name->Length == 0;
  const std::vector<WCHAR> Chars = ComparableName(Name, IgnoreCase, UpcaseTable);
  return ExpressionMatcher(Expression->Buffer, CharCount(Expression), Chars).Matches();
}

BOOLEAN FsRtlAreNamesEqual(PCUNICODE_STRING ConstantNameA, PCUNICODE_STRING ConstantNameB, BOOLEAN IgnoreCase,
                           const WCHAR* UpcaseTable) {
  if (ConstantNameA->Length != ConstantNameB->Length) return FALSE;
  return ComparableName(ConstantNameA, IgnoreCase, UpcaseTable) ==
         ComparableName(ConstantNameB, IgnoreCase, UpcaseTable);
}

void FsRtlDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName, PUNICODE_STRING RemainingName) {
  *FirstName = UNICODE_STRING{};
  *RemainingName = UNICODE_STRING{};
  const USHORT Count = CharCount(&Path);
  if (Count == 0) return;
  const USHORT First = Path.Buffer[0] == Backslash ? 1 : 0;
  USHORT End = First;
  while (End < Count && Path.Buffer[End] != Backslash) End++;
  FirstName->Buffer = Path.Buffer + First;
  FirstName->Length = FirstName->MaximumLength = (USHORT)((End - First) * sizeof(WCHAR));
  if (End < Count) {
    RemainingName->Buffer = Path.Buffer + End + 1;
    RemainingName->Length = RemainingName->MaximumLength = (USHORT)((Count - End - 1) * sizeof(WCHAR));
  }
}
