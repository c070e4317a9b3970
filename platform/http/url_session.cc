#include "platform/http/url_session.h"

#include <algorithm>
#include <cctype>

namespace {

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

std::string UrlResponse::header(const std::string& name) const {
  auto found = headers.find(lowerCase(name));
  return found == headers.end() ? std::string() : found->second;
}

void UrlResponse::setHeader(const std::string& name, const std::string& value) {
  headers[lowerCase(name)] = value;
}
