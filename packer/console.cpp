#include "console.h"

#include "platform.h"

namespace quillet {

std::u16string formatWide(const char16_t* format, std::initializer_list<MessageArg> args) {
  std::u16string out;
  const MessageArg* next = args.begin();
  for (const char16_t* p = format; *p != u'\0'; ++p) {
    if (*p != u'%' || (p[1] != u's' && p[1] != u'd' && p[1] != u'%')) {
      out.push_back(*p);
      continue;
    }
    ++p;
    if (*p == u'%') {
      out.push_back(u'%');
      continue;
    }
    if (next == args.end()) continue;  // a missing argument prints nothing
    const MessageArg& arg = *next++;
    if (*p == u's') {
      if (arg.text != nullptr) out += *arg.text;
    } else {
      const std::string digits = std::to_string(arg.number);
      out.append(digits.begin(), digits.end());
    }
  }
  return out;
}

void printWide(const char16_t* format, std::initializer_list<MessageArg> args) {
  platform().printWide(formatWide(format, args));
}

void printNarrow(const std::string& text) { platform().print(text); }

}  // namespace quillet
