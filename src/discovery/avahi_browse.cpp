#include "avahi_browse.h"

#include <net/if.h>
#include <time.h>

#include <algorithm>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>

namespace bbescl::discovery {

namespace {

long long now_millis() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

struct Browsing {
  AvahiClient *client = nullptr;
  std::string_view instance;
  int browsers_pending = 0;  // browsers not yet at "all for now"
  int resolvers_pending = 0;
  bool found_tls = false;    // the instance looked for is resolved over TLS
  bool found_plain = false;  // ... or plain
  bool failed = false;
  std::vector<ResolvedService> services;
};

void on_resolved(AvahiServiceResolver *resolver, AvahiIfIndex interface, AvahiProtocol, AvahiResolverEvent event,
                 const char *name, const char *type, const char *, const char *, const AvahiAddress *address,
                 uint16_t port, AvahiStringList *txt, AvahiLookupResultFlags, void *userdata) {
  auto *b = static_cast<Browsing *>(userdata);
  if (event == AVAHI_RESOLVER_FOUND && address) {
    ResolvedService s;
    s.instance = name ? name : "";
    char ifname[IF_NAMESIZE] = {};
    if (interface >= 0 && if_indextoname(static_cast<unsigned>(interface), ifname)) s.interface = ifname;
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    avahi_address_snprint(text, sizeof text, address);
    s.address = text;
    s.port = port;
    for (AvahiStringList *item = txt; item; item = avahi_string_list_get_next(item))
      s.txt.emplace_back(reinterpret_cast<const char *>(avahi_string_list_get_text(item)),
                         avahi_string_list_get_size(item));
    s.tls = type && std::string_view(type) == kTlsServiceType;
    if (!b->instance.empty()) (s.tls ? b->found_tls : b->found_plain) = true;
    b->services.push_back(std::move(s));
  }
  --b->resolvers_pending;
  avahi_service_resolver_free(resolver);
}

void on_browsed(AvahiServiceBrowser *, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                const char *name, const char *type, const char *domain, AvahiLookupResultFlags, void *userdata) {
  auto *b = static_cast<Browsing *>(userdata);
  switch (event) {
    case AVAHI_BROWSER_NEW:
      if (!b->instance.empty() && (!name || b->instance != name)) break;
      // The address of the protocol the service was announced over: a
      // device announced over IPv4 only may not listen on IPv6.
      if (avahi_service_resolver_new(b->client, interface, protocol, name, type, domain, protocol,
                                     static_cast<AvahiLookupFlags>(0), on_resolved, b))
        ++b->resolvers_pending;
      break;
    case AVAHI_BROWSER_ALL_FOR_NOW:
      --b->browsers_pending;
      break;
    case AVAHI_BROWSER_FAILURE:
      b->failed = true;
      break;
    default:
      break;
  }
}

// Frees the poll and the client (with its browsers and resolvers) on every path.
struct AvahiSession {
  AvahiSimplePoll *poll = avahi_simple_poll_new();
  AvahiClient *client = nullptr;
  ~AvahiSession() {
    if (client) avahi_client_free(client);
    if (poll) avahi_simple_poll_free(poll);
  }
};

}  // namespace

BrowseResult browse(int millis, std::string_view instance) {
  BrowseResult result;
  AvahiSession session;
  if (!session.poll) return result;
  int error = 0;
  // Without AVAHI_CLIENT_NO_FAIL the call fails at once when no daemon runs.
  session.client = avahi_client_new(avahi_simple_poll_get(session.poll), static_cast<AvahiClientFlags>(0), nullptr,
                                    nullptr, &error);
  if (!session.client) return result;
  result.daemon_running = true;

  Browsing b;
  b.client = session.client;
  b.instance = instance;
  for (const char *type : {kServiceType, kTlsServiceType}) {
    if (avahi_service_browser_new(session.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type, nullptr,
                                  static_cast<AvahiLookupFlags>(0), on_browsed, &b))
      ++b.browsers_pending;
  }
  const long long deadline = now_millis() + std::max(millis, 0);
  // Looking for one instance goes on until it appears: it may not be in
  // the daemon's cache yet when the daemon says it has told all it knows.
  const auto all_told = [&b] { return b.browsers_pending <= 0 && b.resolvers_pending <= 0; };
  // A device announcing both is opened over TLS: a plain one found first
  // is taken once the daemon has told all it knows.
  const auto done = [&] {
    if (b.instance.empty()) return all_told();
    return b.found_tls || (b.found_plain && all_told());
  };
  while (!b.failed && !done()) {
    const long long left = deadline - now_millis();
    if (left <= 0) break;
    if (avahi_simple_poll_iterate(session.poll, static_cast<int>(left)) != 0) break;
  }
  result.services = std::move(b.services);
  std::stable_partition(result.services.begin(), result.services.end(),
                        [](const ResolvedService &s) { return s.address.find(':') == std::string::npos; });
  return result;
}

}  // namespace bbescl::discovery
