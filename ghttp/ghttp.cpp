// ghttp over libcurl: libcurl does the connection, TLS, HTTP/1.x and chunked framing;
// this layer keeps the body and the final response's headers for the caller.
#include "ghttp.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <string>
#include <sys/mman.h>
#include <string_view>
#include <strings.h>
#include <utility>
#include <vector>

const char http_hdr_Connection[] = "Connection";

using field = std::pair<std::string, std::string>;

struct ghttp_request {
    CURL *curl = nullptr;
    curl_slist *sent = nullptr;
    std::vector<field> out;   // request headers set by the caller
    std::vector<field> in;    // response headers, in the order received
    char *body = nullptr;
    size_t len = 0, cap = 0;
    bool bad = false;         // a setter refused its value: the exchange cannot run
};

static field *find(std::vector<field> &v, std::string_view name)
{
    for (auto &f : v)
        if (f.first.size() == name.size() && !strncasecmp(f.first.data(), name.data(), name.size()))
            return &f;
    return nullptr;
}

static bool hascontrol(std::string_view s)
{
    for (unsigned char c : s)
        if (c < 0x20 && c != '\t')
            return true;
    return false;
}

// Body bytes as they arrive. The first piece reserves the announced length, if any, so a
// body of known size is held in one block and never copied.
static size_t onbody(char *data, size_t size, size_t n, void *p)
{
    auto *r = static_cast<ghttp_request *>(p);
    size_t add = size * n;
    if (add > r->cap - r->len) {
        size_t want = r->len + add;
        char *grown = nullptr;
        curl_off_t announced = -1;
        if (!r->cap && curl_easy_getinfo(r->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK &&
            announced > 0 && uint64_t(announced) > want && uint64_t(announced) < SIZE_MAX / 2) {
            grown = static_cast<char *>(realloc(r->body, size_t(announced)));
            if (grown)
                want = size_t(announced);
        }
        if (!grown && r->cap && want < r->cap * 2)
            want = r->cap * 2;   // large blocks grow by mremap, without a copy
        if (!grown)
            grown = static_cast<char *>(realloc(r->body, want));
        if (!grown)
            return 0;   // libcurl ends the exchange with a write error
        r->body = grown;
        r->cap = want;
        // A large body is better held in huge pages: a 4 KiB page costs a fault and a TLB
        // entry of its own, which for a body of a GiB takes longer than the transfer itself.
        if (want >= 4 << 20) {
            uintptr_t from = (uintptr_t(grown) + 4095) & ~uintptr_t(4095);
            uintptr_t to = (uintptr_t(grown) + want) & ~uintptr_t(4095);
            madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
        }
    }
    memcpy(r->body + r->len, data, add);
    r->len += add;
    return add;
}

// One header line at a time. A status line starts a new response (after an interim 1xx),
// so only the final response's fields are kept.
static size_t onheader(char *data, size_t size, size_t n, void *p)
{
    auto *r = static_cast<ghttp_request *>(p);
    std::string_view line(data, size * n);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    auto trim = [](std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
            s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
            s.remove_suffix(1);
        return s;
    };
    if (line.starts_with("HTTP/")) {
        r->in.clear();
    } else if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
        if (!r->in.empty())   // a folded continuation of the previous field
            r->in.back().second.append(" ").append(trim(line));
    } else if (auto colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
        std::string_view name = line.substr(0, colon), value = trim(line.substr(colon + 1));
        if (field *f = find(r->in, name))
            f->second.append(", ").append(value);
        else
            r->in.emplace_back(std::string(name), std::string(value));
    }
    return size * n;
}

ghttp_request *ghttp_request_new()
{
    auto *r = new ghttp_request;
    r->curl = curl_easy_init();
    if (!r->curl) {
        delete r;
        return nullptr;
    }
    CURL *c = r->curl;
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // HTTP/1.x only, where request headers such as Connection keep their meaning.
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_PROXY, "");   // configuration comes from the command line only
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onbody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, r);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onheader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, r);
    return r;
}

void ghttp_request_destroy(ghttp_request *r)
{
    if (!r)
        return;
    curl_easy_cleanup(r->curl);
    curl_slist_free_all(r->sent);
    free(r->body);
    delete r;
}

int ghttp_set_uri(ghttp_request *r, const char *uri)
{
    if (!uri || hascontrol(uri) || curl_easy_setopt(r->curl, CURLOPT_URL, uri) != CURLE_OK) {
        r->bad = true;
        return -1;
    }
    return 0;
}

int ghttp_set_header(ghttp_request *r, const char *name, const char *value)
{
    std::string_view n(name ? name : ""), v(value ? value : "");
    if (n.empty() || n.find_first_of(": \t") != std::string_view::npos || hascontrol(n) || hascontrol(v)) {
        r->bad = true;
        return -1;
    }
    if (field *f = find(r->out, n))
        f->second = v;
    else
        r->out.emplace_back(std::string(n), std::string(v));
    return 0;
}

int ghttp_prepare(ghttp_request *r)
{
    curl_slist_free_all(r->sent);
    r->sent = nullptr;
    for (auto &[name, value] : r->out) {
        // "Name;" is how libcurl is told to send a header with an empty value.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist *next = curl_slist_append(r->sent, line.c_str());
        if (!next) {
            r->bad = true;
            return -1;
        }
        r->sent = next;
    }
    curl_easy_setopt(r->curl, CURLOPT_HTTPHEADER, r->sent);
    return 0;
}

ghttp_status ghttp_process(ghttp_request *r)
{
    r->in.clear();
    r->len = 0;
    if (r->bad)
        return ghttp_error;
    return curl_easy_perform(r->curl) == CURLE_OK ? ghttp_done : ghttp_error;
}

char *ghttp_get_body(ghttp_request *r)
{
    static char none[1];
    return r->body ? r->body : none;
}

int64_t ghttp_get_body_len(ghttp_request *r)
{
    return int64_t(r->len);
}

int ghttp_get_header_names(ghttp_request *r, char ***names, int *count)
{
    *names = static_cast<char **>(malloc((r->in.size() + 1) * sizeof(char *)));
    *count = 0;
    if (!*names)
        return -1;
    for (auto &f : r->in) {
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
    field *f = find(r->in, name ? name : "");
    return f ? f->second.c_str() : nullptr;
}
