// The ping of a monitor: the run's record POSTed as JSON to an http or https
// URL, bounded in time, the server's identity checked as the FTPS transfers
// check it. A failed ping is an answer, never a change to the run.
#pragma once

#include <string>
#include <string_view>

// Where the ping of event ("start", "success" or "failure") goes. With
// suffixes, as health-check services expect: "start" to URL/start, "failure"
// to URL/fail, "success" to URL itself (a query or fragment stays at the
// end).
std::string monitor_url_for(const std::string& url, bool suffixes, std::string_view event);

// The URL as a message may show it: scheme, host and port only, so neither
// credentials nor a path that carries a check's secret are ever printed.
// "(unreadable URL)" when it cannot be parsed.
std::string monitor_url_shown(const std::string& url);

// Sets libcurl and its TLS library up. Called before the exit handler that
// pings at the end is registered: the TLS library registers its own
// clean-up on its first use, and exit handlers run in the reverse order, so
// the ping at exit must find it not yet cleaned up.
void prepare_monitor_pings();

// POSTs json to url (Content-Type: application/json). 10 s to connect, 30 s
// (or HVX_NOTIFY_TIMEOUT seconds, 1 to 30) for the whole request; a request
// that fails or gets an answer other than 2xx is tried once more after 2 s.
// Redirects are not followed. stoppable: a termination request ends the
// ping at once (the start of a run, which the request is to end); the ping
// of the end goes out whatever came. The empty text on success, else the
// reason of the last try (with the URL shown by monitor_url_shown).
std::string post_to_monitor(const std::string& url, const std::string& json, bool stoppable);
