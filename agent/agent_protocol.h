// The fleet agent's protocol constants: its endpoints, their content types, and the limits
// that keep HTTP clients from starving discovery on the shared event loop.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr char kPathIndex[] = "/";
inline constexpr char kPathMetrics[] = "/metrics";
inline constexpr char kPathTargets[] = "/targets";
inline constexpr char kPathDevices[] = "/devices.json";
// The fleet page's events and summary counts, its script and its stylesheet.
inline constexpr char kPathEvents[] = "/events.json";
inline constexpr char kPathScript[] = "/fleet.js";
inline constexpr char kPathStyle[] = "/fleet.css";
// Probes of load balancers and orchestrators, answered without credentials: they tell
// nothing about the devices.
inline constexpr char kPathHealthy[] = "/-/healthy";
inline constexpr char kPathReady[] = "/-/ready";

// Prometheus text exposition format 0.0.4.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";
inline constexpr char kJsonContentType[] = "application/json";
inline constexpr char kTextContentType[] = "text/plain; charset=utf-8";
inline constexpr char kHtmlContentType[] = "text/html; charset=utf-8";
inline constexpr char kScriptContentType[] = "text/javascript; charset=utf-8";
inline constexpr char kStyleContentType[] = "text/css; charset=utf-8";
// Every answer says that a page of the agent loads nothing from elsewhere, runs no inline
// script or style and is shown in no other site's frame (a device text that slipped through
// as markup still could not run, and no page can dress the fleet page up to be clicked on),
// and that a browser must take each answer as the type it is served as. The same headers in
// the web configuration take their place.
inline constexpr char kSecurityPolicyHeader[] = "Content-Security-Policy";
inline constexpr char kSecurityPolicy[] = "default-src 'self'; frame-ancestors 'none'";
inline constexpr char kContentTypeOptionsHeader[] = "X-Content-Type-Options";
inline constexpr char kContentTypeOptions[] = "nosniff";
// The fleet page's template, stylesheet and script among the agent's Qt resources.
inline constexpr char kPageTemplateResource[] = ":/fleet/index.html";
inline constexpr char kStyleResource[] = ":/fleet/fleet.css";
inline constexpr char kScriptResource[] = ":/fleet/fleet.js";
inline constexpr char kBasicChallenge[] = "Basic realm=\"tarovue\", charset=\"UTF-8\"";

// Bytes of one request (line, header fields and any body), counted as they arrive.
inline constexpr int64_t kMaxRequestHeadBytes = 8 * 1024;
// What Qt reads from one connection ahead of the request parser; beyond it the kernel's
// window holds the client back.
inline constexpr int64_t kReadBufferBytes = 32 * 1024;
// Connections open at once, TLS handshakes included. A newcomer beyond them takes the place
// of another (connection_slots.h says which), or is refused.
inline constexpr int kMaxConnections = 64;
// What one client address keeps once others need room: a quarter of the slots. Beyond it
// its connections make room for newcomers from elsewhere, even while being answered.
inline constexpr int kPeerShare = kMaxConnections / 4;
// Connections of the TLS port waiting for their first byte, before QSslServer takes them:
// as many again, under the same share per address.
inline constexpr int kMaxGreetings = kMaxConnections;
// A request must be whole this long after its first byte (with TLS, after the connection
// opened: the handshake counts), however slowly it trickles.
inline constexpr int kRequestDeadlineMs = 10'000;
// A connection with nothing to send that sends nothing this long is closed; so is one whose
// unsent answers make no progress this long.
inline constexpr int kIdleTimeoutMs = 10'000;
// An answer must be taken whole this long after it was written, however steadily a client
// reads a few bytes of it: longer than any scrape_timeout a Prometheus waits by default, so
// that only a client that does not want it is cut.
inline constexpr int kAnswerDeadlineMs = 30'000;
// A connection with this many answers, or this many bytes, not yet taken by its client has
// the next answer held back until it drains; a further request beyond those held back
// closes it.
inline constexpr int kMaxUnsentAnswers = 2;
inline constexpr int64_t kMaxUnsentBytes = 4 * 1024 * 1024;
inline constexpr int kMaxHeldRequests = 4;
// Unsent bytes of all connections together beyond which every next answer waits: /metrics
// for 10 000 devices is 7 MB plain, and 64 clients that never read must not hold 64 of them.
// One address may hold a quarter of it; beyond that only its own next answers wait.
inline constexpr int64_t kMaxUnsentBytesTotal = 32 * 1024 * 1024;
inline constexpr int64_t kMaxUnsentBytesPerPeer = kMaxUnsentBytesTotal / 4;

// bcrypt's share of the machine: 250 ms of runs a second, up to 500 ms at once (three or six
// runs at cost 10), of which one address may spend a quarter in the long run (a burst at
// once) and a quarter is kept for
// addresses that logged in before (agent/bcrypt_budget.h). Beyond it a request whose
// credentials are not cached gets 429.
inline constexpr int64_t kBcryptMsPerSecond = 250;
inline constexpr int64_t kBcryptBurstMs = 500;
inline constexpr int kBcryptPeerShare = 4;
inline constexpr int kBcryptReservedShare = 4;
inline constexpr int kRetryAfterSeconds = 1;
// bcrypt runs off the event loop, on this many threads, with at most this many waiting.
inline constexpr int kBcryptThreads = 2;
inline constexpr std::size_t kBcryptQueuedJobs = 16;
// What a bcrypt check is taken to cost before the first one was measured.
inline constexpr int64_t kBcryptFirstEstimateMs = 100;

// What a plain HTTP request on the TLS port gets, as Go's servers answer it.
inline constexpr char kPlainHttpOnTlsAnswer[] =
    "HTTP/1.0 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Connection: close\r\n\r\nClient sent an HTTP request to an HTTPS server.\n";
// The first byte of a TLS connection: a handshake record.
inline constexpr char kTlsHandshakeRecord = 0x16;

// How often the web configuration and the files it names are looked at for a change.
inline constexpr int kWebConfigPollMs = 2'000;
