// ghttp over libcurl: libcurl does the connection, TLS, HTTP/1.x, its heads and transfer
// codings; this layer keeps the body (or writes it to the caller's descriptor) and the final
// response's headers for the caller.
#include "ghttp.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <new>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

// CURLOPT_PROTOCOLS_STR came with 7.85, the header API (curl_easy_nextheader) with 7.84.
#if LIBCURL_VERSION_NUM < 0x075500
#error "libcurl 7.85 or later is needed"
#endif

const char http_hdr_Connection[] = "Connection";

// At most this many header lines in a response: its status lines, fields and trailer together.
static constexpr int maxheaderlines = 2000;

// A body that goes to a descriptor is written 64 KiB at a time (see ontofd).
static constexpr size_t gathersize = 64 << 10;

// Header fields in the order first seen, each name once, and where each name (lower-cased)
// sits in that order, so a lookup costs the same however many fields there are.
struct fields {
    std::vector<std::pair<std::string, std::string>> list;
    std::unordered_map<std::string, size_t> index;
};

struct ghttp_request {
    CURL *curl = nullptr;
    curl_slist *sent = nullptr;
    fields out;                  // request headers set by the caller
    fields in;                   // response headers, in the order received
    bool ended = false;          // the final response's head has ended
    bool afterinterim = false;   // the line before ended an interim head
    size_t interimfields = 0;    // fields of the interim heads before a final 101
    const char *lack = nullptr;  // why a callback ended the exchange (memory lacking, too many lines)
    int lines = 0;               // header lines so far: status lines, fields, ends of heads, trailer
    int fd = -1;                 // where the body goes as it arrives, or -1 to keep it in memory
    char *gather = nullptr;      // the pieces of the body not yet written there
    size_t gathered = 0;
    char unwritten[160] = "";    // why a piece of the body could not be written there
    char *body = nullptr;
    size_t len = 0, cap = 0;
    bool known = false;          // the block is of the announced length
    size_t ready = 0;            // the body's bytes below this offset are already in memory
    bool bad = false;            // a value was refused: the exchange cannot run
    ghttp_progress *progress = nullptr;   // told how far the exchange has come, if set
    void *progressarg = nullptr;
    std::string bundle;          // the system's CA bundle, read only when the directory lacks the issuer
    std::string error;           // why the exchange failed or cannot run; empty otherwise
    char curlerror[CURL_ERROR_SIZE] = "";
};

static std::string lower(std::string_view s)
{
    std::string l(s);
    for (char &c : l)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return l;
}

// The position of the field `name`, or SIZE_MAX when there is none.
static size_t lookup(const fields &f, std::string_view name)
{
    auto i = f.index.find(lower(name));
    return i == f.index.end() ? SIZE_MAX : i->second;
}

// The position of the field `name`, added with an empty value when it is new.
static size_t slot(fields &f, std::string_view name, bool &added)
{
    auto [i, isnew] = f.index.try_emplace(lower(name), f.list.size());
    if (isnew)
        f.list.emplace_back(std::string(name), std::string());
    added = isnew;
    return i->second;
}

// Marks the request as one that cannot run; the first reason given is the one kept.
static void refuse(ghttp_request *r, const std::string &why)
{
    if (!r->bad)
        r->error = why;
    r->bad = true;
}

static bool hascontrol(std::string_view s)
{
    for (unsigned char c : s)
        if (c < 0x20 && c != '\t')
            return true;
    return false;
}

// Writes n bytes whole to the body's descriptor; false, with the reason noted, when it cannot.
static bool put(ghttp_request *r, const char *data, size_t n)
{
    for (size_t done = 0; done < n;) {
        ssize_t w = write(r->fd, data + done, n - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            snprintf(r->unwritten, sizeof r->unwritten, "cannot write the body: %s", strerror(w < 0 ? errno : ENOSPC));
            r->lack = r->unwritten;
            return false;
        }
        done += size_t(w);
    }
    return true;
}

// Body bytes as they arrive, for a body that goes to a descriptor. libcurl hands them over in
// pieces of 16 KiB at most, whatever its buffer; they are gathered and written 64 KiB at a
// time, since a write costs more than the copy that saves three of them. Measured on 1 GiB from
// nginx on 127.0.0.1 into a new file, in turns with curl (2026-12-09, a shared machine), CPU
// time: 1.2-2.6 s with a write per piece, 1.0-1.4 s in writes of 64 KiB or 128 KiB, 0.9-2.1 s
// in 256 KiB, 1.5-2.9 s in 1 MiB (the page cache then takes larger folios, from memory the
// host must hand back); curl 1.9-4.0 s.
static size_t ontofd(ghttp_request *r, const char *data, size_t add)
{
    if (!r->gather)
        r->gather = static_cast<char *>(malloc(gathersize));
    if (r->gathered && r->gathered + add > gathersize) {
        if (!put(r, r->gather, r->gathered))
            return 0;   // libcurl ends the exchange with a write error
        r->gathered = 0;
    }
    if (r->gather && add < gathersize) {
        memcpy(r->gather + r->gathered, data, add);
        r->gathered += add;
    } else if (!put(r, data, add)) {
        return 0;
    }
    r->len += add;
    return add;
}

// Body bytes as they arrive. The first piece reserves the announced length, if any, so a
// body of known size is held in one block and never copied; a body of unknown length grows by
// doubling its block (large blocks grow by mremap, without a copy), and where the doubled block
// cannot be had, by what the bytes need.
static size_t onbody(char *data, size_t size, size_t n, void *p)
{
    auto *r = static_cast<ghttp_request *>(p);
    size_t add = size * n;
    if (r->fd >= 0)
        return ontofd(r, data, add);
    if (add > r->cap - r->len) {
        size_t need = r->len + add, want = need;
        curl_off_t announced = -1;
        if (!r->cap && curl_easy_getinfo(r->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && uint64_t(announced) > need && uint64_t(announced) < SIZE_MAX / 2)
            want = size_t(announced);
        else if (r->cap && need < r->cap * 2)
            want = r->cap * 2;
        char *grown = static_cast<char *>(realloc(r->body, want));
        r->known = grown && size_t(announced) == want;
        if (!grown && want > need)
            grown = static_cast<char *>(realloc(r->body, want = need));
        if (!grown) {
            r->lack = "not enough memory to hold the body";
            return 0;   // libcurl ends the exchange with a write error
        }
        r->body = grown;
        r->cap = want;
    }
    // The pages of a large block of announced length are had a few MiB at a time, in one call
    // each, ahead of the bytes (MADV_POPULATE_WRITE): a fault for every 4 KiB page costs more
    // than the copy into it. Never more than 32 MiB ahead of what has arrived, so that a server
    // announcing a length it does not send cannot make the whole length resident; a block that
    // grows by doubling is never filled ahead, its end being no length the body will have.
    // 4 KiB pages, not huge ones: on this kind of virtual machine a 2 MiB page comes from memory
    // that the host must hand back, and zeroing it cost more than the faults saved
    // (bench/notes.md).
    if (r->known && r->cap >= 4 << 20 && r->len + add > r->ready) {
        uintptr_t from = (uintptr_t(r->body + r->len) + 4095) & ~uintptr_t(4095);
        uintptr_t to = uintptr_t(r->body + (r->cap - r->len - add < 32 << 20 ? r->cap : r->len + add + (32 << 20))) &
                       ~uintptr_t(4095);
        if (to > from)
            madvise(reinterpret_cast<void *>(from), to - from, MADV_POPULATE_WRITE);   // a hint: faults remain
        r->ready = size_t(to - uintptr_t(r->body));
    }
    memcpy(r->body + r->len, data, add);
    r->len += add;
    return add;
}

// Header lines as libcurl reads them. libcurl parses the heads and keeps their fields; this
// notes only where the final response's head ends: libcurl takes a response whose connection
// closed inside its head as complete, and such a response is not. A head ends at a line that
// begins with CR or LF; a 1xx other than 101 is an interim response, another head follows it.
// A 101 is final (what follows is its body), and libcurl files its fields with those of the
// interim heads, after them: how many come before it is counted at its status line.
static size_t onheader(char *data, size_t size, size_t n, void *p)
{
    auto *r = static_cast<ghttp_request *>(p);
    size_t len = size * n;
    // libcurl's look-up of a field walks the whole list of them, so reading N fields costs N^2:
    // a hostile head of tens of thousands of short lines would hold the CPU for a minute. No
    // real response comes near this many lines.
    if (++r->lines > maxheaderlines) {
        r->lack = "the response has more than 2000 header lines";
        return 0;   // libcurl ends the exchange with a write error
    }
    if (r->ended)
        return len;   // the trailer of a chunked body
    long code = 0;
    curl_easy_getinfo(r->curl, CURLINFO_RESPONSE_CODE, &code);
    bool interim = code >= 100 && code < 200 && code != 101;
    if (len > 0 && (data[0] == '\r' || data[0] == '\n')) {
        r->ended = !interim;
        r->afterinterim = interim;
    } else if (r->afterinterim) {
        r->afterinterim = false;
        if (code == 101)
            for (curl_header *h = nullptr; (h = curl_easy_nextheader(r->curl, CURLH_1XX, -1, h));)
                r->interimfields++;
    }
    return len;
}

// The final response's fields, from libcurl's store: unfolded, in the order received, without
// the fields of interim heads or of a trailer. A line with no name before its colon is no
// field. A value comes without the blanks around it, but libcurl 7.88 keeps the line's end
// (CR, or LF where lines end in LF alone) of a line whose value is empty ("X:" gives "\r", and
// a fold onto it "\r b"): that goes too (a value holds no CR or LF of its own: libcurl ends
// it at one). Repeated names are joined with ", ".
static void collect(ghttp_request *r)
{
    long code = 0;
    curl_easy_getinfo(r->curl, CURLINFO_RESPONSE_CODE, &code);
    unsigned origin = code == 101 ? CURLH_1XX : CURLH_HEADER;
    size_t skip = code == 101 ? r->interimfields : 0;
    for (curl_header *h = nullptr; (h = curl_easy_nextheader(r->curl, origin, -1, h));) {
        if (skip) {
            skip--;
            continue;
        }
        std::string_view name(h->name), value(h->value);
        if (name.empty())
            continue;
        size_t from = value.find_first_not_of(" \t\r\n");
        value = from == value.npos ? "" : value.substr(from, value.find_last_not_of(" \t\r\n") + 1 - from);
        bool added;
        std::string &v = r->in.list[slot(r->in, name, added)].second;
        v.append(added ? "" : ", ").append(value);
    }
}

ghttp_request *ghttp_request_new()
{
    auto *r = new (std::nothrow) ghttp_request;
    if (!r)
        return nullptr;
    r->curl = curl_easy_init();
    if (!r->curl) {
        delete r;
        return nullptr;
    }
    // Every option here matters: without the protocol list a URL could reach any protocol
    // libcurl knows (file://, smtp://, ...); without the callbacks libcurl itself would write
    // the body to standard output. If one cannot be set, no exchange is made.
    CURL *c = r->curl;
    const char *unset = nullptr;
    CURLcode rc = CURLE_OK;
    auto need = [&](CURLcode got, const char *what) {
        if (got != CURLE_OK && !unset) {
            unset = what;
            rc = got;
        }
    };
    need(curl_easy_setopt(c, CURLOPT_ERRORBUFFER, r->curlerror), "error buffer");
    need(curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https"), "protocols http and https");
    need(curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L), "certificate check");
    need(curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L), "host name check");
    // The store trusted is the system's, as libcurl knows it: its built-in bundle file and hashed
    // directory. Reading the bundle means parsing every CA in it (140-odd, most of a small
    // fetch's time), while the directory is searched by the hash of the issuer's name, one file
    // read. So the bundle is left out at first and read only when the directory does not hold
    // the issuer (see perform). That lookup by hash is OpenSSL's; with another TLS library the
    // store is left as libcurl has it.
    char *cainfo = nullptr, *capath = nullptr;
    const curl_version_info_data *tls = curl_version_info(CURLVERSION_NOW);
    if (curl_easy_getinfo(c, CURLINFO_CAINFO, &cainfo) == CURLE_OK && cainfo &&
        curl_easy_getinfo(c, CURLINFO_CAPATH, &capath) == CURLE_OK && capath && tls->ssl_version &&
        !strncmp(tls->ssl_version, "OpenSSL/", 8)) {
        try {
            r->bundle = cainfo;
        } catch (const std::bad_alloc &) {
            need(CURLE_OUT_OF_MEMORY, "CA bundle");
        }
        need(curl_easy_setopt(c, CURLOPT_CAPATH, capath), "CA directory");
        need(curl_easy_setopt(c, CURLOPT_CAINFO, nullptr), "CA bundle");
    }
    // HTTP/1.x only, where request headers such as Connection keep their meaning.
    need(curl_easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)), "HTTP/1.1");
    need(curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L), "no redirects");
    // Configuration comes from the command line only.
    need(curl_easy_setopt(c, CURLOPT_PROXY, ""), "no proxy");
    need(curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L), "no signals");
    // A User-Agent set through ghttp_set_header replaces this one.
    need(curl_easy_setopt(c, CURLOPT_USERAGENT, GHTTP_USER_AGENT), "User-Agent");
    need(curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onbody), "body callback");
    need(curl_easy_setopt(c, CURLOPT_WRITEDATA, r), "body callback");
    need(curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onheader), "header callback");
    need(curl_easy_setopt(c, CURLOPT_HEADERDATA, r), "header callback");
    if (unset)
        refuse(r, std::string("libcurl refused an option (") + unset + "): " + curl_easy_strerror(rc));
    return r;
}

void ghttp_request_destroy(ghttp_request *r)
{
    if (!r)
        return;
    curl_easy_cleanup(r->curl);
    curl_slist_free_all(r->sent);
    free(r->body);
    free(r->gather);
    delete r;
}

int ghttp_set_uri(ghttp_request *r, const char *uri)
{
    if (!uri || hascontrol(uri)) {
        refuse(r, uri ? "the URL contains a control character" : "no URL");
        return -1;
    }
    if (CURLcode rc = curl_easy_setopt(r->curl, CURLOPT_URL, uri); rc != CURLE_OK) {
        refuse(r, std::string("libcurl refused the URL: ") + curl_easy_strerror(rc));
        return -1;
    }
    return 0;
}

int ghttp_set_header(ghttp_request *r, const char *name, const char *value)
{
    std::string_view n(name ? name : ""), v(value ? value : "");
    if (n.empty() || n.find_first_of(": \t") != std::string_view::npos || hascontrol(n)) {
        refuse(r, "a request header name that is empty or holds a colon, blank or control character");
        return -1;
    }
    if (hascontrol(v)) {
        refuse(r, "the value of request header " + std::string(n) + " contains a control character");
        return -1;
    }
    bool added;
    r->out.list[slot(r->out, n, added)].second = v;
    return 0;
}

// libcurl reads from the socket as much as its buffer takes: 16 KiB unless asked, 512 KiB at
// most; the curl tool asks for 100 KiB. For a body that goes to a descriptor, 512 KiB: one
// receive for every 32 of 16 KiB. Measured as in ontofd, CPU time with writes of 64 KiB:
// 2.0-2.7 s with a buffer of 16 KiB, 1.7-3.0 s with 100 KiB, 1.2-2.5 s with 512 KiB (curl
// 1.7-2.2 s); a 1 KiB fetch takes the same time with either. Held in memory, the body gained
// nothing from a larger buffer (bench/notes.md).
void ghttp_set_body_fd(ghttp_request *r, int fd)
{
    r->fd = fd;
    curl_easy_setopt(r->curl, CURLOPT_BUFFERSIZE, fd >= 0 ? 512L << 10 : long(CURL_MAX_WRITE_SIZE));
}

// libcurl's progress callback, passed on with its counts; it never ends the exchange.
static int onprogress(void *p, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t)
{
    auto *r = static_cast<ghttp_request *>(p);
    curl_off_t rate = 0;
    if (curl_easy_getinfo(r->curl, CURLINFO_SPEED_DOWNLOAD_T, &rate) != CURLE_OK)
        rate = 0;
    r->progress(r->progressarg, dlnow, dltotal > 0 ? dltotal : -1, rate);
    return 0;
}

// libcurl calls back only with CURLOPT_NOPROGRESS at 0, and with it at 0 and no callback of ours
// it draws a meter of its own on standard error: so it goes to 0 only once ours is in place.
void ghttp_set_progress(ghttp_request *r, ghttp_progress *fn, void *arg)
{
    r->progress = fn;
    r->progressarg = arg;
    bool on = fn && curl_easy_setopt(r->curl, CURLOPT_XFERINFODATA, r) == CURLE_OK &&
              curl_easy_setopt(r->curl, CURLOPT_XFERINFOFUNCTION, onprogress) == CURLE_OK;
    curl_easy_setopt(r->curl, CURLOPT_NOPROGRESS, on ? 0L : 1L);
}

int ghttp_prepare(ghttp_request *r)
{
    curl_slist_free_all(r->sent);
    r->sent = nullptr;
    for (auto &[name, value] : r->out.list) {
        // "Name;" is how libcurl is told to send a header with an empty value.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist *next = curl_slist_append(r->sent, line.c_str());
        if (!next) {
            refuse(r, "out of memory");
            return -1;
        }
        r->sent = next;
    }
    if (CURLcode rc = curl_easy_setopt(r->curl, CURLOPT_HTTPHEADER, r->sent); rc != CURLE_OK) {
        refuse(r, std::string("libcurl refused the request headers: ") + curl_easy_strerror(rc));
        return -1;
    }
    return 0;
}

// The exchange, its certificates checked against the hashed directory alone. When that check
// refused them, for whatever reason, the exchange is made once more with the bundle too: the
// whole system store as libcurl has it by default, a check made afresh from the start. So a
// refusal is always the whole store's, with its reason (a CA only in the bundle is found; a
// CA whose copy in the directory has expired while the bundle's has not is found too), and
// only an acceptance can come from the directory alone. Nothing was sent or received before
// the handshake failed. A second try that does not come to a verdict of its own (the server
// takes one connection only) leaves the first refusal standing, with its reason; one that got
// past the handshake and failed later (a body cut short) gives its own.
static CURLcode perform(ghttp_request *r)
{
    CURLcode rc = curl_easy_perform(r->curl);
    if (rc != CURLE_PEER_FAILED_VERIFICATION || r->bundle.empty())
        return rc;
    if (curl_easy_setopt(r->curl, CURLOPT_CAINFO, r->bundle.c_str()) != CURLE_OK)
        return rc;   // the first refusal stands, with its reason
    char first[CURL_ERROR_SIZE];
    memcpy(first, r->curlerror, sizeof first);
    r->curlerror[0] = '\0';
    CURLcode again = curl_easy_perform(r->curl);
    curl_off_t shook = 0;   // when the handshake ended, or 0 if it did not
    if (curl_easy_getinfo(r->curl, CURLINFO_APPCONNECT_TIME_T, &shook) != CURLE_OK)
        shook = 0;
    if (again != CURLE_OK && again != CURLE_PEER_FAILED_VERIFICATION && again != CURLE_SSL_CACERT_BADFILE && shook <= 0)
        memcpy(r->curlerror, first, sizeof first);
    else
        rc = again;
    // The next exchange on this request starts from the directory again.
    if (curl_easy_setopt(r->curl, CURLOPT_CAINFO, nullptr) != CURLE_OK)
        r->bundle.clear();   // then the bundle stays in, and is never needed a second time
    return rc;
}

ghttp_status ghttp_process(ghttp_request *r)
{
    r->in.list.clear();
    r->in.index.clear();
    r->ended = r->afterinterim = false;
    r->interimfields = 0;
    r->lack = nullptr;
    r->lines = 0;
    r->len = 0;
    r->gathered = 0;
    r->ready = 0;
    r->known = false;
    if (r->bad)
        return ghttp_error;
    r->curlerror[0] = '\0';
    CURLcode rc = perform(r);
    if (rc == CURLE_OK && r->gathered && !put(r, r->gather, r->gathered))
        rc = CURLE_WRITE_ERROR;
    r->gathered = 0;
    r->error.clear();
    if (rc != CURLE_OK)
        r->error = r->lack ? r->lack : r->curlerror[0] ? r->curlerror : curl_easy_strerror(rc);
    else if (!r->ended)
        r->error = "the response ended inside its header";
    else
        try {
            collect(r);
        } catch (const std::bad_alloc &) {
            r->in.list.clear();
            r->in.index.clear();
            r->error = "not enough memory to hold the response headers";
        }
    return r->error.empty() ? ghttp_done : ghttp_error;
}

const char *ghttp_get_error(ghttp_request *r)
{
    return r->error.c_str();
}

char *ghttp_get_body(ghttp_request *r)
{
    static char none[1];
    return r->body && r->fd < 0 ? r->body : none;
}

int64_t ghttp_get_body_len(ghttp_request *r)
{
    return int64_t(r->len);
}

int ghttp_get_header_names(ghttp_request *r, char ***names, int *count)
{
    *names = static_cast<char **>(malloc((r->in.list.size() + 1) * sizeof(char *)));
    *count = 0;
    if (!*names)
        return -1;
    for (auto &f : r->in.list) {
        if (!((*names)[*count] = strdup(f.first.c_str()))) {
            while (*count > 0)
                free((*names)[--*count]);
            free(*names);
            *names = nullptr;
            return -1;
        }
        ++*count;
    }
    return 0;
}

const char *ghttp_get_header(ghttp_request *r, const char *name)
{
    size_t i = lookup(r->in, name ? name : "");
    return i == SIZE_MAX ? nullptr : r->in.list[i].second.c_str();
}
