// ghttp: a small synchronous HTTP request layer.
//
// One request object carries one exchange: set the URI and request headers, prepare, process
// until done, then read the body and the response headers. The body is the server's, less the
// transfer codings that libcurl removes (chunked, gzip or deflate as a transfer coding): no
// content coding is decoded, no redirect followed. It is kept in memory, or written as it
// arrives to a descriptor that the caller names.
#pragma once

#include <cstdint>

struct ghttp_request;

enum ghttp_status {
    ghttp_error = -1,
    ghttp_not_done = 0,
    ghttp_done = 1,
};

// Request header names.
extern const char http_hdr_Connection[];

ghttp_request *ghttp_request_new();
void ghttp_request_destroy(ghttp_request *req);

// Both return 0 on success, -1 when the value cannot be used (the request then fails in
// ghttp_process). A header set here replaces whatever the layer would send for that name;
// unless one is set, the request carries a User-Agent naming the fetcher and its version.
int ghttp_set_uri(ghttp_request *req, const char *uri);
int ghttp_set_header(ghttp_request *req, const char *name, const char *value);

// The body goes to `fd` as it arrives, instead of being kept in memory: written whole, at the
// descriptor's offset, 64 KiB at a time, the rest once the exchange is done; -1 keeps it in
// memory again. The descriptor stays the caller's. A write that fails (a full disk) fails the
// exchange, with the system's reason ("cannot write the body: ...").
void ghttp_set_body_fd(ghttp_request *req, int fd);

// While the exchange runs, `fn` is told how far it has come, as body bytes arrive and about once
// a second while none do: the body's bytes received so far and its announced length (-1 while
// none is known), as libcurl counts them, and libcurl's average rate since the exchange began,
// in bytes a second. Unless it is set, libcurl is given no progress callback at all; nullptr
// takes it off again.
typedef void ghttp_progress(void *arg, int64_t got, int64_t announced, int64_t rate);
void ghttp_set_progress(ghttp_request *req, ghttp_progress *fn, void *arg);

int ghttp_prepare(ghttp_request *req);

// Runs the whole exchange: ghttp_done once a complete response is in, ghttp_error when the
// exchange failed (no connection, a malformed response, a body cut short).
ghttp_status ghttp_process(ghttp_request *req);

// Why the exchange failed: libcurl's own message, or the layer's words for a value it refused
// (then no exchange is made). Empty after a successful exchange; valid until the next call.
const char *ghttp_get_error(ghttp_request *req);

// The body kept in memory, valid until the request is destroyed: empty when it went to a
// descriptor. Its length, the bytes received either way, may exceed 4 GiB.
char *ghttp_get_body(ghttp_request *req);
int64_t ghttp_get_body_len(ghttp_request *req);

// The response's header names in the order sent, each once. The array and every name in it
// are allocated with malloc and belong to the caller. Returns 0, or -1 with nothing allocated.
int ghttp_get_header_names(ghttp_request *req, char ***names, int *count);

// The value of a response header, found without regard to case; repeated fields come joined
// with ", ". nullptr when there is no such header.
const char *ghttp_get_header(ghttp_request *req, const char *name);
