#include "call_log.h"

#include <algorithm>
#include <sstream>
#include <utility>

namespace fw::sim {

const char* ApiName(Api api) {
  switch (api) {
    case Api::openStream:
      return "openStream";
    case Api::closeStream:
      return "closeStream";
    case Api::deleteFile:
      return "deleteFile";
    case Api::findWindow:
      return "findWindow";
    case Api::windowProcessId:
      return "windowProcessId";
    case Api::openProcess:
      return "openProcess";
    case Api::terminateProcess:
      return "terminateProcess";
    case Api::sleep:
      return "sleep";
    case Api::setTimer:
      return "setTimer";
    case Api::killTimer:
      return "killTimer";
    case Api::sendMessage:
      return "sendMessage";
    case Api::postQuitMessage:
      return "postQuitMessage";
    case Api::runMessageLoop:
      return "runMessageLoop";
    case Api::runModalDialog:
      return "runModalDialog";
    case Api::endDialog:
      return "endDialog";
    case Api::dialogItem:
      return "dialogItem";
    case Api::setWindowText:
      return "setWindowText";
    case Api::moveWindow:
      return "moveWindow";
    case Api::findResourceModule:
      return "findResourceModule";
    case Api::loadIcon:
      return "loadIcon";
    case Api::kernelIoControl:
      return "kernelIoControl";
    case Api::dialogInitialise:
      return "dialogInitialise";
    case Api::dialogMessage:
      return "dialogMessage";
    case Api::modalRunEnded:
      return "modalRunEnded";
    case Api::stalled:
      return "stalled";
    case Api::press:
      return "press";
    case Api::post:
      return "post";
  }
  return "?";
}

namespace {

void Show(const Value& value, std::ostream* out) {
  if (std::holds_alternative<bool>(value)) {
    *out << (std::get<bool>(value) ? "true" : "false");
  } else if (std::holds_alternative<std::int64_t>(value)) {
    *out << std::get<std::int64_t>(value);
  } else if (std::holds_alternative<std::string>(value)) {
    *out << '"' << std::get<std::string>(value) << '"';
  } else {
    *out << "nothing";
  }
}

}  // namespace

std::string Describe(const Call& call) {
  std::ostringstream out;
  out << call.time << ' ' << ApiName(call.api) << '(';
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    if (i != 0) out << ", ";
    Show(call.args[i], &out);
  }
  out << ')';
  if (!std::holds_alternative<std::monostate>(call.result)) {
    out << " -> ";
    Show(call.result, &out);
  }
  return out.str();
}

void PrintTo(const Call& call, std::ostream* out) { *out << Describe(call); }

void CallLog::record(std::uint64_t time, Api api, std::vector<Value> args, Value result) {
  calls_.push_back({time, api, std::move(args), std::move(result)});
}

std::vector<Call> CallLog::calls(std::initializer_list<Api> apis, std::uint64_t from) const {
  std::vector<Call> found;
  for (const Call& call : calls_) {
    if (call.time >= from && std::find(apis.begin(), apis.end(), call.api) != apis.end()) {
      found.push_back(call);
    }
  }
  return found;
}

std::size_t CallLog::count(Api api) const {
  return static_cast<std::size_t>(std::count_if(
      calls_.begin(), calls_.end(), [api](const Call& call) { return call.api == api; }));
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out += '?';
      continue;
    }
    if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else if (unit < 0x800) {
      out += static_cast<char>(0xC0 | (unit >> 6));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else if (unit < 0x10000) {
      out += static_cast<char>(0xE0 | (unit >> 12));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (unit >> 18));
      out += static_cast<char>(0x80 | ((unit >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (unit & 0x3F));
    }
  }
  return out;
}

}  // namespace fw::sim
