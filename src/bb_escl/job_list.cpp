// Readers of the job list of a status document.
#include "job_list.h"

#include <string.h>

#include "bb_escl.h"
#include "text.h"

namespace bb {
namespace {

constexpr std::string_view kJobUriOpen = "<pwg:JobUri>";
constexpr std::string_view kJobUriClose = "</pwg:JobUri>";
constexpr std::string_view kJobStateOpen = "<pwg:JobState>";
constexpr std::string_view kJobInfoClose = "</scan:JobInfo>";

bool xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && xml_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && xml_space(s.back())) s.remove_suffix(1);
  return s;
}

bool path_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  constexpr std::string_view kPunctuation = "-._~:@!$&'()*+,;=%/";
  return kPunctuation.find(c) != std::string_view::npos;
}

}  // namespace

bool next_job_uri(std::string_view doc, size_t *from, std::string_view *uri) {
  size_t open = drop(doc, *from).find(kJobUriOpen);
  if (open == std::string_view::npos) return false;
  size_t text = *from + open + kJobUriOpen.size();
  size_t close = drop(doc, text).find(kJobUriClose);
  if (close == std::string_view::npos) return false;
  *uri = trimmed(slice(doc, text, text + close));
  *from = text + close + kJobUriClose.size();
  return true;
}

void note_job_uris(std::string_view doc, JobUriList *list) {
  memset(list, 0, sizeof *list);
  std::string_view uri;
  for (size_t from = 0; next_job_uri(doc, &from, &uri);) {
    if (job_uri_noted(list, uri)) continue;
    const size_t used = static_cast<size_t>(list->used);
    if (used + uri.size() + 1 > sizeof list->text) {
      list->cut = 1;
      continue;
    }
    memcpy(list->text + used, uri.data(), uri.size());
    list->text[used + uri.size()] = '\0';
    list->used = static_cast<int32_t>(used + uri.size() + 1);
    ++list->count;
  }
}

bool job_uri_noted(const JobUriList *list, std::string_view uri) {
  std::string_view noted(list->text, static_cast<size_t>(list->used));
  while (!noted.empty()) {
    std::string_view one = take_until(noted, '\0');
    if (one == uri) return true;
    noted = drop(noted, one.size() + 1);
  }
  return false;
}

int job_state_after(std::string_view doc, size_t uri_end) {
  std::string_view rest = drop(doc, uri_end);
  // The entry ends where the next one's URI starts, or at its JobInfo end.
  size_t end = rest.find(kJobUriOpen);
  size_t info_end = rest.find(kJobInfoClose);
  if (info_end < end) end = info_end;
  std::string_view entry = slice(rest, 0, end);
  size_t at = entry.find(kJobStateOpen);
  if (at == std::string_view::npos) return BB_JOB_NOT_FOUND;
  std::string_view state = take_until(drop(entry, at + kJobStateOpen.size()), '<');
  if (contains(state, "Completed")) return BB_JOB_COMPLETED;
  if (contains(state, "Canceled")) return BB_JOB_CANCELED;
  if (contains(state, "Aborted")) return BB_JOB_ABORTED;
  if (contains(state, "Pending")) return BB_JOB_PENDING;
  if (contains(state, "Processing")) return BB_JOB_PROCESSING;
  return BB_JOB_NOT_FOUND;
}

std::string_view job_uri_path(std::string_view uri) {
  size_t scheme = uri.find("://");
  if (scheme != std::string_view::npos && uri.find('/') > scheme) {
    size_t path = drop(uri, scheme + 3).find('/');
    if (path == std::string_view::npos) return {};
    uri = drop(uri, scheme + 3 + path);
  }
  if (uri.empty() || uri.front() != '/') return {};
  for (char c : uri)
    if (!path_char(c)) return {};
  return uri;
}

}  // namespace bb
