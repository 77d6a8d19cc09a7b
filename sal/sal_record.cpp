#include "sal/sal_record.h"

#include <cstdint>
#include <string>

#include "sal/cp932.h"
#include "sal/notify.h"
#include "sal/tokenizer.h"

namespace quellmark {

void SalRecord::Clear() {
  // One store per value (assigning a new record would build one and copy it).
  id = ptid = cvid = egid = ndid = pdid = dhid = {};
  bdir1 = bdir2 = gmir = hrir = dtir = ktir = ndir = knir = kair = trir = erir = yrir = dhir =
      khir = thir = ttir = dyir = {};
  jt = sb = fi = yu = sr = hk = js = pd = {};
  kb = 0;
}

namespace {

// Element states set by the element tags: a feature's own tag (its layer
// code) says the values that follow are the feature's own; the other tags
// say whose ID or reference comes next.
enum State : int {
  kFeature = 0,
  kCV,
  kEG,
  kBD1,
  kBD2,
  kGM,
  kPT,
  kND,
  kKN,
  kPD,
  kDH,
  kKA,
  kHR,
  kDT,
  kKT,
  kTR,
  kER,
  kYR,
  kKH,
  kTH,
  kTT,
  kDY,
};

constexpr unsigned Key(char a, char b) {
  return (static_cast<unsigned>(static_cast<unsigned char>(a)) << 8) |
         static_cast<unsigned char>(b);
}

// The state an element tag sets, or false when the token is not one.
bool ElementState(unsigned key, int current, int& state) {
  switch (key) {
    // The layers' own tags.
    case Key('C', 'M'):
    case Key('K', 'J'):
    case Key('K', 'S'):
    case Key('K', 'K'):
    case Key('S', 'K'):
    case Key('G', 'K'):
    case Key('G', 'D'):
    case Key('K', 'O'):
    case Key('M', 'H'):
    case Key('T', 'S'):
    case Key('T', 'K'):
    case Key('E', 'K'):
    case Key('D', 'K'):
    case Key('D', 'S'):
      state = kFeature;
      return true;
    case Key('C', 'V'):
      state = kCV;
      return true;
    case Key('E', 'G'):
      state = kEG;
      return true;
    // A second BD right after the first is the element's other end.
    case Key('B', 'D'):
      state = current == kBD1 ? kBD2 : kBD1;
      return true;
    case Key('G', 'M'):
      state = kGM;
      return true;
    case Key('P', 'T'):
      state = kPT;
      return true;
    case Key('N', 'D'):
      state = kND;
      return true;
    case Key('K', 'N'):
      state = kKN;
      return true;
    case Key('P', 'D'):
      state = kPD;
      return true;
    case Key('D', 'H'):
      state = kDH;
      return true;
    case Key('K', 'A'):
      state = kKA;
      return true;
    case Key('H', 'R'):
      state = kHR;
      return true;
    case Key('D', 'T'):
      state = kDT;
      return true;
    case Key('K', 'T'):
      state = kKT;
      return true;
    case Key('T', 'R'):
      state = kTR;
      return true;
    case Key('E', 'R'):
      state = kER;
      return true;
    case Key('Y', 'R'):
      state = kYR;
      return true;
    case Key('K', 'H'):
      state = kKH;
      return true;
    case Key('T', 'H'):
      state = kTH;
      return true;
    case Key('T', 'T'):
      state = kTT;
      return true;
    case Key('D', 'Y'):
      state = kDY;
      return true;
    default:
      return false;
  }
}

std::string_view& IdField(SalRecord& r, int state) {
  switch (state) {
    case kCV:
      return r.cvid;
    case kEG:
      return r.egid;
    case kPT:
      return r.ptid;
    case kND:
      return r.ndid;
    case kPD:
      return r.pdid;
    case kDH:
      return r.dhid;
    default:
      return r.id;
  }
}

std::string_view* IrField(SalRecord& r, int state) {
  switch (state) {
    case kBD1:
      return &r.bdir1;
    case kBD2:
      return &r.bdir2;
    case kGM:
      return &r.gmir;
    case kND:
      return &r.ndir;
    case kKN:
      return &r.knir;
    case kDH:
      return &r.dhir;
    case kKA:
      return &r.kair;
    case kHR:
      return &r.hrir;
    case kDT:
      return &r.dtir;
    case kKT:
      return &r.ktir;
    case kTR:
      return &r.trir;
    case kER:
      return &r.erir;
    case kYR:
      return &r.yrir;
    case kKH:
      return &r.khir;
    case kTH:
      return &r.thir;
    case kTT:
      return &r.ttir;
    case kDY:
      return &r.dyir;
    default:
      return nullptr;
  }
}

// Whether a line's delimiters pair up: each "(" closed by a ")" and each
// "{" by a "}", innermost first. Only the first fault of a line is kept.
// The kinds of the 64 innermost levels are held: of a level whose kind was
// pushed out by deeper ones, only that it is closed is checked.
class DelimiterBalance {
 public:
  // A delimiter as SplitToken's kind names it (1 "(", 2 "{", 3 ")", 4 "}").
  void Token(int kind) {
    if (kind == 0) return;
    const std::uint64_t brace = (kind & 1) == 0;
    if (kind <= 2) {
      open_ = (open_ << 1) | brace;  // innermost level in bit 0
      if (++depth_ > kKept + lost_) lost_ = depth_ - kKept;
    } else {
      Close(brace != 0);
    }
  }
  // A delimiter as SplitBraceToken's kind names it (1 "{", 2 "}").
  void BraceToken(int kind) { Token(kind * 2); }

  bool balanced() const { return closing_ == 0 && depth_ == 0; }
  // What is wrong, when it is not balanced.
  std::string Fault() const {
    const auto quoted = [](char c) { return std::string("'") + c + "'"; };
    if (closing_ == 0) {
      return (depth_ > lost_ ? quoted(Innermost()) : std::string("an opening delimiter")) +
             " is not closed";
    }
    if (opened_ == 0) return quoted(closing_) + " closes nothing";
    return quoted(closing_) + " closes " + quoted(opened_);
  }

 private:
  static constexpr std::size_t kKept = 64;
  char Innermost() const { return open_ & 1 ? '{' : '('; }
  void Close(bool brace) {
    if (depth_ == 0) {
      if (closing_ == 0) closing_ = brace ? '}' : ')';
      return;
    }
    if (((open_ & 1) != 0) != brace && closing_ == 0 && depth_ > lost_) {
      closing_ = brace ? '}' : ')';
      opened_ = Innermost();
    }
    open_ >>= 1;
    --depth_;
  }

  std::uint64_t open_ = 0;  // bit i: the level i below the innermost was opened by "{"
  std::size_t depth_ = 0;
  std::size_t lost_ = 0;  // levels 1 to lost_ have had their kind pushed out
  char closing_ = 0;      // the first closer that did not pair up
  char opened_ = 0;       // what it met instead; 0 for nothing
};

}  // namespace

void ParseSalLine(std::string_view line, std::string& feature_name, std::string& point_list,
                  SalRecord& record, const Reporter& reporter) {
  record.Clear();
  int state = kFeature;
  std::string_view token;
  int kind = 0;
  DelimiterBalance balance;
  // A tag's value: the next token, its delimiter counted.
  const auto value = [&line, &balance] {
    int value_kind = 0;
    std::string_view text;
    SplitToken(line, value_kind, text);
    balance.Token(value_kind);
    return text;
  };
  // A name-like value, which may hold parentheses: only braces end it.
  const auto brace_value = [&line, &balance] {
    int value_kind = 0;
    std::string_view text;
    SplitBraceToken(line, value_kind, text);
    balance.BraceToken(value_kind);
    return text;
  };
  do {
    SplitToken(line, kind, token);
    balance.Token(kind);
    if (token.size() == 2) {
      const unsigned key = Key(token[0], token[1]);
      if (ElementState(key, state, state)) continue;
      switch (key) {
        case Key('I', 'D'):
          IdField(record, state) = value();
          continue;
        case Key('I', 'R'):
          if (std::string_view* field = IrField(record, state)) {
            *field = value();
            continue;
          }
          // No IR field in this state: the value stays on the line.
          continue;
        case Key('J', 'T'):
          record.jt = value();
          continue;
        case Key('Y', 'U'):
          record.yu = value();
          continue;
        case Key('S', 'B'):
          record.sb = value();
          continue;
        case Key('S', 'R'):
          record.sr = value();
          continue;
        case Key('F', 'I'):
          record.fi = value();
          continue;
        case Key('H', 'K'):
          record.hk = value();
          continue;
        case Key('K', 'B'): {
          int value_kind = 0;
          record.kb = ReadIntToken(line, value_kind);
          balance.Token(value_kind);
          continue;
        }
        case Key('N', 'M'):
          feature_name.assign(brace_value());
          continue;
        case Key('J', 'S'):
          record.js = brace_value();
          continue;
        default:
          break;
      }
    }
    if (token.empty()) continue;
    if (kind == 4 && (state == kCV || state == kPT)) {
      point_list.assign(token);
    } else if (kind == 4 && state == kPD) {
      record.pd = token;
    } else {
      std::string message("non ");
      message.append(token);
      reporter.Report(std::move(message));
    }
  } while (!line.empty());
  // Every value is still taken as above; the line is only said to be damaged.
  if (!balance.balanced()) reporter.Report("unbalanced delimiters: " + balance.Fault());
}

}  // namespace quellmark
