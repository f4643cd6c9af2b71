// Readers of the job list of a status document.
#include "job_list.h"

#include <string.h>

#include "bb_escl.h"
#include "status_tags.h"
#include "../http/text.h"

namespace bb {
namespace {


bool path_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  constexpr std::string_view kPunctuation = "-._~:@!$&'()*+,;=%/";
  return kPunctuation.find(c) != std::string_view::npos;
}

}  // namespace

bool next_job_uri(std::string_view doc, size_t *from, std::string_view *uri) {
  StatusTags tags(doc);
  const std::string_view uri_open = tags.open(xml_ns::kPwg, "JobUri");
  const std::string_view uri_close = tags.close(xml_ns::kPwg, "JobUri");
  if (uri_open.empty()) return false;
  size_t open = drop(doc, *from).find(uri_open);
  if (open == std::string_view::npos) return false;
  size_t text = *from + open + uri_open.size();
  size_t close = drop(doc, text).find(uri_close);
  if (close == std::string_view::npos) return false;
  *uri = trim_xml_space(slice(doc, text, text + close));
  *from = text + close + uri_close.size();
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
  StatusTags tags(doc);
  const std::string_view uri_open = tags.open(xml_ns::kPwg, "JobUri");
  const std::string_view info_close = tags.close(xml_ns::kEscl, "JobInfo");
  const std::string_view state_open = tags.open(xml_ns::kPwg, "JobState");
  if (uri_open.empty() || state_open.empty()) return BB_JOB_NOT_FOUND;
  std::string_view rest = drop(doc, uri_end);
  // The entry ends where the next one's URI starts, or at its JobInfo end.
  size_t end = rest.find(uri_open);
  size_t info_end = rest.find(info_close);
  if (info_end < end) end = info_end;
  std::string_view entry = slice(rest, 0, end);
  size_t at = entry.find(state_open);
  if (at == std::string_view::npos) return BB_JOB_NOT_FOUND;
  std::string_view state = take_until(drop(entry, at + state_open.size()), '<');
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
