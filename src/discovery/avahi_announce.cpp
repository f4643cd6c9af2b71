#include "avahi_announce.h"

#include <net/if.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include "scanner_entry.h"

namespace bbescl::discovery {

struct Announcement::State {
  AvahiThreadedPoll *poll = nullptr;
  AvahiClient *client = nullptr;
  AvahiEntryGroup *group = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  AvahiEntryGroupState group_state = AVAHI_ENTRY_GROUP_UNCOMMITED;

  ~State() {
    if (poll) avahi_threaded_poll_stop(poll);
    // Freeing the client withdraws the announcement (its group with it).
    if (client) avahi_client_free(client);
    if (poll) avahi_threaded_poll_free(poll);
  }
};

namespace {

void on_group(AvahiEntryGroup *, AvahiEntryGroupState state, void *userdata) {
  auto *s = static_cast<Announcement::State *>(userdata);
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->group_state = state;
  }
  s->changed.notify_all();
}

}  // namespace

Announcement::Announcement() = default;
Announcement::~Announcement() = default;

bool Announcement::start(const std::string &name, uint16_t port, bool tls, const std::vector<std::string> &txt,
                         int millis, std::string &error) {
  state_ = std::make_unique<State>();
  State &s = *state_;
  s.poll = avahi_threaded_poll_new();
  if (!s.poll) {
    error = "out of memory";
    return false;
  }
  int code = 0;
  s.client = avahi_client_new(avahi_threaded_poll_get(s.poll), static_cast<AvahiClientFlags>(0), nullptr, nullptr,
                              &code);
  if (!s.client) {
    error = std::string("cannot reach the Avahi daemon: ") + avahi_strerror(code);
    return false;
  }
  s.group = avahi_entry_group_new(s.client, on_group, &s);
  AvahiStringList *record = nullptr;
  for (auto it = txt.rbegin(); it != txt.rend(); ++it) record = avahi_string_list_add(record, it->c_str());
  const int loopback = static_cast<int>(if_nametoindex("lo"));
  const int added = s.group ? avahi_entry_group_add_service_strlst(
                                  s.group, loopback > 0 ? loopback : AVAHI_IF_UNSPEC, AVAHI_PROTO_INET,
                                  static_cast<AvahiPublishFlags>(0), name.c_str(), tls ? kTlsServiceType : kServiceType, nullptr, nullptr,
                                  port, record)
                            : avahi_client_errno(s.client);
  avahi_string_list_free(record);
  if (added < 0 || avahi_entry_group_commit(s.group) < 0) {
    error = std::string("cannot announce: ") + avahi_strerror(avahi_client_errno(s.client));
    return false;
  }
  if (avahi_threaded_poll_start(s.poll) < 0) {
    error = "cannot start the announcement's thread";
    return false;
  }
  std::unique_lock<std::mutex> lock(s.mutex);
  s.changed.wait_for(lock, std::chrono::milliseconds(millis), [&s] {
    return s.group_state == AVAHI_ENTRY_GROUP_ESTABLISHED || s.group_state == AVAHI_ENTRY_GROUP_COLLISION ||
           s.group_state == AVAHI_ENTRY_GROUP_FAILURE;
  });
  if (s.group_state == AVAHI_ENTRY_GROUP_ESTABLISHED) return true;
  error = s.group_state == AVAHI_ENTRY_GROUP_COLLISION ? "the name " + name + " is taken on the network"
                                                       : "the announcement was not established in time";
  return false;
}

}  // namespace bbescl::discovery
