#include "device_request.h"

#include <algorithm>
#include <cstdint>

#include "kvchan.h"

namespace bbescl {

std::string_view authority_of(std::string_view uri) {
  const size_t start = uri.find("://");
  uri.remove_prefix(start == std::string_view::npos ? 0 : start + 3);
  return uri.substr(0, uri.find_first_of("/?#"));
}

std::string device_get(const std::string &uri, std::string_view path, std::string_view enough, size_t most,
                       std::chrono::steady_clock::time_point deadline) {
  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: ").append(authority_of(uri));
  request.append("\r\nConnection: close\r\n\r\n");
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return {};
  const std::string until(enough);
  std::string answer(most, '\0');
  int length = 0;
  const int rc = kvchan_request(uri.c_str(), request.data(), static_cast<int>(request.size()), until.c_str(),
                                static_cast<int>(std::min<long long>(left.count(), INT32_MAX)), answer.data(),
                                static_cast<int>(std::min<size_t>(most, INT32_MAX)), &length);
  answer.resize(rc == KVCHAN_OK ? static_cast<size_t>(length) : 0);
  return answer;
}

}  // namespace bbescl
