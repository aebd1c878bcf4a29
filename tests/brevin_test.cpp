// brevin against a scripted HTTP server on 127.0.0.1.
#include "support.h"

#include <array>
#include <curl/curl.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <termios.h>

namespace {

const std::string usage = "usage: brevin [-v] [-o output_file] {url}\n";

HttpServer server;

// The same bytes as big() in httpd.py.
std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char(i % 256);
    return s;
}

// A port with a listening socket that nobody accepts on: connections show up as pending.
struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int port = 0;
    Listener()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd, (sockaddr *)&a, sizeof a) || listen(fd, 8) || getsockname(fd, (sockaddr *)&a, &len))
            abort();
        port = ntohs(a.sin_port);
    }
    bool connected() { return accept(fd, nullptr, nullptr) >= 0; }
    ~Listener() { close(fd); }
};

#ifndef __SANITIZE_ADDRESS__   // the sanitizer maps terabytes: no limit is counted from its size
// What brevin maps by itself: its peak size while it waits, connected, for a response.
long restingsize()
{
    TempDir w;
    Listener l;
    pid_t pid = spawn({BREVIN, "http://127.0.0.1:" + std::to_string(l.port) + "/"}, w / "out", w / "err");
    long base = 0;
    int conn = -1;
    waitfor([&] { return (conn = accept(l.fd, nullptr, nullptr)) >= 0; });
    std::this_thread::sleep_for(200ms);   // the request is sent; nothing more is mapped until a reply
    std::istringstream status(slurp("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmPeak:", 0) == 0)
            base = std::stol(line.substr(7)) << 10;
    kill(pid, SIGKILL);
    waitexit(pid);
    close(conn);
    return base;
}
#endif

// The one line that follows "Error retrieving document", or "" when there is not exactly one.
std::string reason(const std::string &err)
{
    const std::string failed = "Error retrieving document\n";
    auto at = err.find(failed);
    std::string rest = at == std::string::npos ? "" : err.substr(at + failed.size());
    return rest.size() > 1 && rest.find('\n') == rest.size() - 1 ? rest : "";
}

// libcurl's words for a failure without the time it took ("after 2 ms"), which differs between
// two tries.
std::string untimed(std::string words)
{
    for (size_t at = 0; (at = words.find("after ", at)) != std::string::npos; at += 6) {
        size_t digits = at + 6, end = digits;
        while (end < words.size() && words[end] >= '0' && words[end] <= '9')
            end++;
        if (end > digits && words.compare(end, 3, " ms") == 0)
            words.replace(digits, end - digits, "some");
    }
    return words;
}

// libcurl's own reading of a URL on this machine (curlread, with what brevin's request shares
// with it): its result code, the certificate check's result, its words for a failure, the body.
struct Reading {
    int code = -1;
    long verify = -1;
    std::string error, body;
};

Reading curlread(const std::string &url, const std::function<void()> &setup = {})
{
    TempDir d;
    auto r = run({CURLREAD, url, d / "body"}, 20000ms, setup);
    Reading g;
    std::istringstream in(r.out);
    std::string code, verify;
    if (r.status == 0 && std::getline(in, code) && std::getline(in, verify) && std::getline(in, g.error)) {
        g.code = std::stoi(code);
        g.verify = std::stol(verify);
    }
    g.body = slurp(d / "body");
    return g;
}

// A moment `from` seconds away from now, as openssl takes it (UTCTime, YYMMDDHHMMSSZ).
std::string when(long from)
{
    time_t t = time(nullptr) + from;
    char s[16];
    strftime(s, sizeof s, "%y%m%d%H%M%SZ", gmtime(&t));
    return s;
}

// Signs the request `csr` in `d` with the CA `ca` (its .crt and .key there), or with the key of
// `ca` alone when `self`, into `out`, valid from `from` to `to` seconds away from now. The dates
// are given outright, which openssl ca takes the same way in 3.0 and 3.5 (x509 -days no longer
// takes a negative number).
bool sign(const TempDir &d, const std::string &csr, const std::string &ca, const std::string &out, long from, long to,
          bool self = false)
{
    if (!fs::exists(d / "ca.conf")) {
        spit(d / "ca.conf", "[ca]\ndefault_ca = test\n"
                            "[test]\ndatabase = " + d / "index.txt" + "\nnew_certs_dir = " + d.path +
                            "\nserial = " + d / "serial" + "\ndefault_md = sha256\npolicy = any\n"
                            "copy_extensions = copy\nunique_subject = no\n"
                            "[any]\ncommonName = supplied\n"
                            "[leaf]\nbasicConstraints = CA:FALSE\nsubjectKeyIdentifier = hash\n"
                            "authorityKeyIdentifier = keyid\n"
                            "[authority]\nbasicConstraints = critical, CA:TRUE\nkeyUsage = keyCertSign, cRLSign\n"
                            "subjectKeyIdentifier = hash\n");
        spit(d / "index.txt", "");
        spit(d / "serial", "1000\n");
    }
    std::vector<std::string> args = {"openssl", "ca", "-batch", "-notext", "-config", d / "ca.conf", "-in", d / csr,
                                     "-keyfile", d / (ca + ".key"), "-startdate", when(from), "-enddate", when(to),
                                     "-out", d / out};
    if (self)
        args.insert(args.end(), {"-selfsign", "-extensions", "authority"});
    else
        args.insert(args.end(), {"-cert", d / (ca + ".crt"), "-extensions", "leaf"});
    return run(args).status == 0;
}

// An EC key and a certificate for `name` in `dir` (name.key, name.crt): a CA of its own when
// `ca` is empty, else signed by the CA `ca` in the same folder for the address `san`, valid
// from `from` to `to` seconds away from now (both in the past for one that has expired).
bool certify(const TempDir &d, const std::string &name, const std::string &ca = "", const std::string &san = "",
             long from = -3600, long to = 2 * 86400)
{
    std::vector<std::string> key = {"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                    "-nodes", "-subj", "/CN=brevin test " + name, "-keyout", d / (name + ".key")};
    if (ca.empty()) {
        key.insert(key.end(), {"-x509", "-days", "2", "-out", d / (name + ".crt")});
        return run(key).status == 0;
    }
    key.insert(key.end(), {"-addext", "subjectAltName=" + san, "-out", d / (name + ".csr")});
    return run(key).status == 0 && sign(d, name + ".csr", ca, name + ".crt", from, to);
}

// HTTPS servers on 127.0.0.1 whose certificates come from test CAs, and a copy of the system's
// CA store with those CAs added: one in both the bundle file and the hashed directory, one in
// the bundle only (no hashed link, as when added to the file by hand), one in the directory
// only. brevin sees the copy at /etc/ssl/certs in a private mount namespace; the machine's own
// store is never changed.
struct TlsSites {
    TempDir d;
    std::string why;   // why the sites cannot be used, or empty
    std::map<std::string, std::unique_ptr<HttpServer>> servers;

    TlsSites()
    {
        std::string store = d / "certs";
        std::error_code ec;
        fs::copy("/etc/ssl/certs", store, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (ec) {
            why = "cannot copy /etc/ssl/certs: " + ec.message();
            return;
        }
        if (int st = run({"/bin/true"}, 10000ms, [&] { inside(); }).status; st != 0) {
            why = st == 124 ? "no user namespace can be made here, for the private mount namespace: " + nouserns()
                            : "no private mount namespace can be made here";
            return;
        }
        // site -> its CA and address; the CA "none" is in neither place.
        // The expired ones ended a day ago.
        std::vector<std::array<std::string, 4>> sites = {
            {"both", "inboth", "IP:127.0.0.1", ""},       {"bundle", "inbundle", "IP:127.0.0.1", ""},
            {"dir", "indir", "IP:127.0.0.1", ""},         {"untrusted", "none", "IP:127.0.0.1", ""},
            {"misnamed", "inbundle", "IP:127.0.0.2", ""}, {"expired", "inbundle", "IP:127.0.0.1", "expired"},
            {"expireddir", "indir", "IP:127.0.0.1", "expired"}, {"renewing", "renewed", "IP:127.0.0.1", ""}};
        for (auto ca : {"inboth", "inbundle", "indir", "none", "renewed"})
            if (!certify(d, ca)) {
                why = "openssl could not make a test CA";
                return;
            }
        for (auto &[site, ca, san, expired] : sites)
            if (!(expired.empty() ? certify(d, site, ca, san) : certify(d, site, ca, san, -2 * 86400, -86400))) {
                why = "openssl could not make the certificate of " + site;
                return;
            }
        // A CA renewed in the bundle whose old copy, expired, is still in the directory: the same
        // name and key, valid until yesterday.
        if (run({"openssl", "req", "-new", "-key", d / "renewed.key", "-subj", "/CN=brevin test renewed", "-out",
                 d / "renewedold.csr"}).status != 0 ||
            !sign(d, "renewedold.csr", "renewed", "renewedold.crt", -2 * 86400, -86400, true)) {
            why = "openssl could not make an expired copy of a CA";
            return;
        }
        std::string bundle = slurp(store + "/ca-certificates.crt") + slurp(d / "inboth.crt") + slurp(d / "inbundle.crt") +
                             slurp(d / "renewed.crt");
        spit(store + "/ca-certificates.crt", bundle);
        for (auto ca : {"inboth", "indir", "renewedold"}) {
            auto hash = run({"openssl", "x509", "-hash", "-noout", "-in", d / (std::string(ca) + ".crt")}).out;
            hash.erase(hash.find_last_not_of("\n") + 1);
            fs::copy_file(d / (std::string(ca) + ".crt"), store + "/" + hash + ".0", ec);
        }
        for (auto &[site, ca, san, expired] : sites) {
            auto &s = servers[site] = std::make_unique<HttpServer>();
            s->start(HTTPD, {"--tls", d / (site + ".crt"), d / (site + ".key")});
            if (s->port <= 0)
                why = "the TLS test server did not start";
        }
    }

    // In a child before exec: a private mount namespace where /etc/ssl/certs is the copy. A user
    // other than root makes it in a user namespace of its own, where it stays itself.
    void inside()
    {
        std::string store = d / "certs";
        if (geteuid() != 0) {
            std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
            auto put = [](const char *file, const std::string &text) {
                int fd = open(file, O_WRONLY | O_CLOEXEC);
                bool ok = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
                return close(fd) == 0 && ok;
            };
            if (unshare(CLONE_NEWUSER))
                _exit(124);
            if (!put("/proc/self/setgroups", "deny") || !put("/proc/self/uid_map", uid + " " + uid + " 1\n") ||
                !put("/proc/self/gid_map", gid + " " + gid + " 1\n"))
                _exit(125);
        }
        if (unshare(CLONE_NEWNS) || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount(store.c_str(), "/etc/ssl/certs", nullptr, MS_BIND, nullptr))
            _exit(125);
    }

    std::string url(const std::string &site, const std::string &path)
    {
        return "https://127.0.0.1:" + std::to_string(servers.at(site)->port) + path;
    }
    Result fetch(std::vector<std::string> args)
    {
        args.insert(args.begin(), BREVIN);
        return run(args, 20000ms, [&] { inside(); });
    }
    Reading read(const std::string &url) { return curlread(url, [&] { inside(); }); }
};

std::unique_ptr<TlsSites> sites;

TlsSites &tls()
{
    if (!sites)
        sites = std::make_unique<TlsSites>();
    return *sites;
}

class Brevin : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server.start(HTTPD);
        ASSERT_GT(server.port, 0) << "the test server did not start";
    }
    static void TearDownTestSuite()
    {
        server.stop();
        sites.reset();
    }

    static Result fetch(const std::string &path, std::vector<std::string> opts = {})
    {
        std::vector<std::string> args = {BREVIN};
        args.insert(args.end(), opts.begin(), opts.end());
        args.push_back(server.url(path));
        return run(args);
    }

    // A response that libcurl versions read differently, fetched with `opts` (-v or more): where
    // the libcurl of this machine reads it, brevin writes the same bytes, `out`, and `err` on
    // standard error; where that libcurl refuses it, brevin fails with libcurl's words for it and
    // writes nothing.
    static void expectaslibcurl(const std::string &path, const std::vector<std::string> &opts, const std::string &err,
                                const std::string &out)
    {
        auto ref = curlread(server.url(path));
        auto r = fetch(path, opts);
        if (ref.code == CURLE_OK) {
            EXPECT_EQ(r.status, 0) << path << ": " << r.err;
            EXPECT_EQ(r.err, err) << path;
            EXPECT_TRUE(r.out == out && ref.body == out) << path << ": " << r.out.size() << " bytes, libcurl's "
                                                         << ref.body.size() << ", not " << out.size();
        } else {
            EXPECT_EQ(r.status, 1) << path;
            EXPECT_EQ(untimed(r.err), "Error retrieving document\n" + untimed(ref.error) + "\n") << path;
            EXPECT_EQ(r.out, "") << path;
        }
    }
};

} // namespace

TEST_F(Brevin, UsageErrorsGiveTheUsageLineAndStatus1)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {BREVIN}, {BREVIN, "-v"}, {BREVIN, "http://a/", "http://b/"}, {BREVIN, "-?", "http://a/"}}) {
        auto r = run(args);
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
    }
    // The option parser names the fault first.
    auto r = run({BREVIN, "-x", "http://a/"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("invalid option -- 'x'\n" + usage), std::string::npos) << r.err;
    r = run({BREVIN, "http://a/", "-o"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("option requires an argument -- 'o'\n" + usage), std::string::npos) << r.err;
}

TEST_F(Brevin, BodiesAreWrittenByteForByte)
{
    auto r = fetch("/big");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == pattern(3 * 1024 * 1024 + 7)) << "body of " << r.out.size() << " bytes differs";
    EXPECT_EQ(r.err, "");

    r = fetch("/nul");
    EXPECT_EQ(r.out, std::string("\0a\0\0b\0", 6));

    std::string chunked = "first second " + pattern(70000) + " last";
    r = fetch("/chunked");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == chunked);
    // A body of unknown length grows in place: it is never held twice over.
    r = fetch("/bigchunked");
    EXPECT_TRUE(r.out == pattern(33 * 1024 * 1024 + 5)) << r.out.size();
#ifndef __SANITIZE_ADDRESS__   // the sanitizer's realloc always copies, and it maps terabytes
    EXPECT_LT(r.maxrss_kb, 48 * 1024) << "kB at the peak, for a body of 33 MiB";

    // Under a limit on its address space that leaves room for those 33 MiB but not for the
    // block doubled to 64 MiB, the block grows by what the bytes need. The limit is counted
    // from what brevin maps by itself: its size while it waits, connected, for a response.
    {
        long base = restingsize();
        ASSERT_GT(base, 0) << "brevin's size was not seen";
        rlim_t cap = rlim_t(base) + (49 << 20);
        r = run({BREVIN, server.url("/bigchunked")}, 20000ms, [&] {
            rlimit lim = {cap, cap};
            setrlimit(RLIMIT_AS, &lim);
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == pattern(33 * 1024 * 1024 + 5)) << r.out.size();
    }
#endif

    std::string old;
    for (int i = 0; i < 1000; i++)
        old += "old style\n";
    r = fetch("/http10");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, old);

    // Into a file that held something else before.
    TempDir d;
    spit(d / "out", "previous contents that are longer than the new ones");
    r = fetch("/hello", {"-o", d / "out"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(slurp(d / "out"), "hello, world\n");

    // Over HTTPS, from servers whose CA stands in the system store's bundle and hashed
    // directory, in the bundle only, in the directory only, valid in the bundle and expired in
    // the directory.
    auto &t = tls();
    if (!t.why.empty())
        GTEST_SKIP() << "HTTPS rows skipped: " << t.why;
    for (std::string site : {"both", "bundle", "dir", "renewing"}) {
        r = t.fetch({t.url(site, "/big")});
        EXPECT_EQ(r.status, 0) << site << ": " << r.err;
        EXPECT_TRUE(r.out == pattern(3 * 1024 * 1024 + 7)) << site << ": body of " << r.out.size() << " bytes differs";
    }
}

TEST_F(Brevin, ResponsesAreWrittenAsSentWhateverTheirStatus)
{
    // The rows held to libcurl's own reading are worth only as much as that reading.
    auto ref = curlread(server.url("/hello"));
    EXPECT_EQ(ref.code, CURLE_OK) << ref.error;
    EXPECT_EQ(ref.body, "hello, world\n");

    auto r = fetch("/404");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "<h1>not found</h1>\r\n\r\n");

    // No redirect followed, no content coding decoded.
    r = fetch("/redirect", {"-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "moved\n");
    r = fetch("/switch");   // a 101 with no Upgrade asked for is the final response
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "raw bytes");
    r = fetch("/gzip");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\x1f\x8b\x08\x00not really inflated"s);
    // A transfer coding is no content coding: libcurl removes it, or, from some version on,
    // refuses a gzip coding that the request did not ask for.
    expectaslibcurl("/gzipchunked", {"-v"}, "Length 3145735\n1 headers\n", pattern(3 * 1024 * 1024 + 7));

    r = fetch("/empty", {"-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Length 0\n2 headers\n");
}

TEST_F(Brevin, VerbosityAddsLengthHeadersAndTraceInOrder)
{
    // A fold continues the field of the line before, a repeated one too; the chunked body's
    // trailer field is not a response header.
    const std::string counts = "Length 2\n5 headers\n";
    const std::string headers = "[0] X-Mixed-CASE: One\n"
                                "[1] set-cookie: a=1, b=2 folded\n"
                                "[2] Transfer-Encoding: chunked\n"
                                "[3] X-Empty: \n"
                                "[4] X-Spaced: padded value\n";
    auto r = fetch("/headers", {"-v"});
    EXPECT_EQ(r.err, counts);
    EXPECT_EQ(r.out, "hi");
    r = fetch("/headers", {"-vv"});
    EXPECT_EQ(r.err, counts + headers);
    r = fetch("/headers", {"-v", "-v", "-v"});
    EXPECT_EQ(r.err, "set_uri\nset_header\nprepare\nprocess\nLength 2\nget_header_names\n5 headers\n" + headers +
                         "get_body\n");
    EXPECT_EQ(r.out, "hi");
    EXPECT_EQ(r.status, 0);

    // The fields are those of libcurl's reading of the response, {path, -vv output, body}.
    std::vector<std::array<std::string, 3>> heads = {
        // A status line in small letters; a line with no name is no field, nor is what is
        // folded onto it; a field may start with "HTTP/" like any other.
        {"/oddhead", "Length 2\n3 headers\n[0] X-A: v\n[1] HTTP/9: kept\n[2] Content-Length: 2\n", "ok"},
        // A fold onto an empty value, and a line of blanks folded between two, add one blank.
        {"/fold", "Length 2\n3 headers\n[0] X-Late: late\n[1] X-Gap: a b\n[2] Content-Length: 2\n", "ok"},
        {"/foldlf", "Length 2\n3 headers\n[0] X-Late: late\n[1] X-Empty: \n[2] Content-Length: 2\n", "ok"},
        // Only the final response's fields, after an interim one however its status line is
        // spaced.
        {"/continue", "Length 5\n2 headers\n[0] X-Final: yes\n[1] Content-Length: 5\n", "final"},
        {"/spacedcontinue", "Length 2\n2 headers\n[0] X-Final: 1\n[1] Content-Length: 2\n", "ok"},
        {"/tabcontinue", "Length 2\n2 headers\n[0] X-Final: 1\n[1] Content-Length: 2\n", "ok"},
        {"/hints", "Length 2\n2 headers\n[0] Link: </b>\n[1] Content-Length: 2\n", "ok"},
        // A 101 is the final response, after an interim one too.
        {"/switch", "Length 9\n1 headers\n[0] Upgrade: x\n", "raw bytes"},
        {"/switchafter", "Length 9\n1 headers\n[0] Upgrade: x\n", "raw bytes"},
        // A line that begins with CR ends the head, whatever follows the CR.
        {"/crblank", "Length 4\n1 headers\n[0] Content-Length: 4\n", "body"},
        {"/crtab", "Length 4\n1 headers\n[0] Content-Length: 4\n", "body"},
        // As many header lines as are taken: a status line, 1998 fields and the end of the head.
        {"/mostfields", "Length 2\n2 headers\n[0] a: " + [] {
             std::string v = "1";
             for (int i = 1; i < 1997; i++)
                 v += ", 1";
             return v;
         }() + "\n[1] Content-Length: 2\n", "ok"},
    };
    for (auto &[path, err, out] : heads) {
        // libcurl 8 refuses a status line with more than one blank before the code; 7.88 read it.
        if (path == "/spacedcontinue" || path == "/tabcontinue") {
            expectaslibcurl(path, {"-vv"}, err, out);
            continue;
        }
        r = fetch(path, {"-vv"});
        EXPECT_EQ(r.status, 0) << path;
        EXPECT_EQ(r.err, err) << path;
        EXPECT_EQ(r.out, out) << path;
    }
}

TEST_F(Brevin, TheRequestAsksTheServerToCloseAndNamesItsAgent)
{
    auto r = fetch("/echo");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("GET /echo HTTP/1.1\r\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\r\nConnection: close\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\nUser-Agent: brevin/" KIT_VERSION "\r\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("keep-alive"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Accept-Encoding"), std::string::npos) << r.out;
}

TEST_F(Brevin, FailedRetrievalsSayWhyAtVerbosity1AndLeaveAnEmptyOutputFile)
{
    TempDir d;
    std::string out = d / "out";
    // A port that was free a moment ago refuses the connection.
    int port;
    {
        Listener l;
        port = l.port;
    }
    // A label of 64 octets cannot go into a DNS query: the name fails here, no server asked.
    std::string nohost = std::string(64, 'x') + ".host.invalid";
    // A server whose certificate comes from a throw-away CA that the system does not trust.
    ASSERT_TRUE(certify(d, "ca") && certify(d, "tls", "ca", "IP:127.0.0.1"));
    HttpServer untrusted;
    untrusted.start(HTTPD, {"--tls", d / "tls.crt", d / "tls.key"});
    ASSERT_GT(untrusted.port, 0);

    // Each with libcurl's result for it (its words for it differ between versions: brevin's are
    // those of the libcurl it runs on), or the request layer's own words where libcurl takes the
    // response as complete.
    struct Case {
        std::string url;
        CURLcode code;
        std::string own;
    };
    std::vector<Case> cases = {
        {"http://127.0.0.1:" + std::to_string(port) + "/", CURLE_COULDNT_CONNECT, ""},
        {"http://" + nohost + "/", CURLE_COULDNT_RESOLVE_HOST, ""},
        {"https://127.0.0.1:" + std::to_string(untrusted.port) + "/hello", CURLE_PEER_FAILED_VERIFICATION, ""},
        {server.url("/truncated"), CURLE_PARTIAL_FILE, ""},
        {server.url("/badchunk"), CURLE_RECV_ERROR, ""},
        {server.url("/cutchunk"), CURLE_PARTIAL_FILE, ""},
        {server.url("/cuthead"), CURLE_OK, "the response ended inside its header"},
        {server.url("/cutfinal"), CURLE_OK, "the response ended inside its header"},
        {server.url("/manyfields"), CURLE_OK, "the response has more than 2000 header lines"},
        {"ftp://127.0.0.1/x", CURLE_UNSUPPORTED_PROTOCOL, ""},
        {"not a url at all", CURLE_URL_MALFORMAT, ""}};
    for (auto &[url, code, own] : cases) {
        auto ref = curlread(url);
        EXPECT_EQ(ref.code, code) << url << ": " << ref.error;
        // Where a later libcurl refuses what an earlier one took, the refusal is libcurl's.
        std::string cause = ref.code == CURLE_OK ? own : ref.error;
        ASSERT_NE(cause, "") << url;
        spit(out, "stale");
        auto r = run({BREVIN, "-v", "-o", out, url});
        EXPECT_EQ(r.status, 1) << url;
        EXPECT_EQ(untimed(r.err), "Error retrieving document\n" + untimed(cause) + "\n") << url;
        EXPECT_TRUE(fs::exists(out));
        EXPECT_EQ(slurp(out), "") << url;
        // Without -v the single line, as scripts expect.
        r = run({BREVIN, "-o", out, url});
        EXPECT_EQ(r.status, 1) << url;
        EXPECT_EQ(r.err, "Error retrieving document\n") << url;
    }

    // Certificates that the system store, seen through a private copy, does not vouch for. A CA
    // found in the bundle only is checked afresh against it: its expired or misnamed
    // certificate is refused for what it is, not taken because the CA was found at last.
    auto &t = tls();
    if (!t.why.empty())
        GTEST_SKIP() << "HTTPS rows skipped: " << t.why;
    // What the certificate check found (OpenSSL's X509_V_ERR_ codes) is libcurl's reading through
    // the same copy; brevin's words are libcurl's for it.
    for (auto &[site, verify] : std::vector<std::pair<std::string, long>>{
             {"untrusted", 20 /* unable to get local issuer certificate */},
             {"misnamed", -1 /* the chain is good, the name is not */},
             {"expired", 10 /* certificate has expired */},
             {"expireddir", 10}}) {
        auto ref = t.read(t.url(site, "/hello"));
        EXPECT_EQ(ref.code, CURLE_PEER_FAILED_VERIFICATION) << site << ": " << ref.error;
        // A chain that is good leaves 0, or the 1 that libcurl sets where it refused the name.
        EXPECT_TRUE(verify < 0 ? ref.verify == 0 || ref.verify == 1 : ref.verify == verify)
            << site << ": " << ref.verify << ", " << ref.error;
        spit(out, "stale");
        auto r = t.fetch({"-v", "-o", out, t.url(site, "/hello")});
        EXPECT_EQ(r.status, 1) << site;
        EXPECT_EQ(untimed(r.err), "Error retrieving document\n" + untimed(ref.error) + "\n") << site;
        EXPECT_EQ(slurp(out), "") << site;
    }
}

TEST_F(Brevin, AnOutputFileThatCannotBeWrittenStopsBeforeTheNetwork)
{
    TempDir d;
    Listener l;
    std::string url = "http://127.0.0.1:" + std::to_string(l.port) + "/";
    std::string path = d / "missing/out";
    auto r = run({BREVIN, "-vvv", "-o", path, url});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, path + ": can't write output file\n");
    EXPECT_FALSE(l.connected()) << "a connection was made";

    // A closed standard output is one that cannot be written; nothing that brevin or libcurl
    // opens may take its place.
    r = run({BREVIN, "-v", url}, 10000ms, [] { close(1); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "standard output: can't write output file\n");
    EXPECT_FALSE(l.connected()) << "a connection was made";
    r = run({BREVIN, "-o", "/dev/stdout", url}, 10000ms, [] { close(1); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "/dev/stdout: can't write output file\n");
    EXPECT_FALSE(l.connected()) << "a connection was made";
    // With standard error closed, the messages must not end up in the output file.
    r = run({BREVIN, "-vvv", "-o", d / "out", server.url("/headers")}, 10000ms, [] { close(2); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(slurp(d / "out"), "hi");

    // A reader that has gone: the write fails with a message, even where the parent left
    // SIGPIPE at its default; with standard error on such a pipe the file still gets the body.
    auto gone = [](int fd) {
        int p[2];
        signal(SIGPIPE, SIG_DFL);
        if (pipe(p) == 0 && close(p[0]) == 0)
            dup2(p[1], fd);
    };
    r = run({BREVIN, server.url("/hello")}, 10000ms, [&] { gone(1); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "standard output: can't write output file\n");
    r = run({BREVIN, "-vv", "-o", d / "out", server.url("/headers")}, 10000ms, [&] { gone(2); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(slurp(d / "out"), "hi");

    // A write that fails after the fetch is a failure too.
    r = run({BREVIN, "-o", "/dev/full", server.url("/hello")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "/dev/full: can't write output file\n");
}

TEST_F(Brevin, HostileServersGetAClearFailureNeverACrash)
{
    TempDir d;
    std::string out = d / "out";
    for (std::string path : {"/garbage", "/hugeheader", "/nocolon", "/rawnoise", "/badchunk", "/truncated", "/cuthead",
                              "/cutfinal"}) {
        spit(out, "stale");
        auto r = run({BREVIN, "-vvv", "-o", out, server.url(path)});
        EXPECT_EQ(r.status, 1) << path;
        EXPECT_EQ(r.err, "set_uri\nset_header\nprepare\nprocess\nError retrieving document\n" + reason(r.err))
            << path;
        EXPECT_NE(reason(r.err), "") << path;
        EXPECT_EQ(slurp(out), "") << path;
    }
    // Binary noise in a well-formed response is a body like any other.
    auto r = fetch("/noise", {"-v"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size(), 256u * 1024);
    EXPECT_EQ(r.err, "Length 262144\n2 headers\n");
    EXPECT_EQ(fetch("/noise").out, r.out) << "the same bytes every time";
}

#include <algorithm>
#include <linux/capability.h>
#include <sys/prctl.h>

namespace {

// The size of the unnamed temporary file that `pid` holds in `folder`, or -1 when it holds none.
long unnamedin(pid_t pid, const std::string &folder)
{
    std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (auto &e : fs::directory_iterator(fds, ec)) {
        std::string to = fs::read_symlink(e.path(), ec).string();
        struct stat st;
        if (!ec && to.rfind(folder + "/#", 0) == 0 && to.size() > 10 && to.substr(to.size() - 10) == " (deleted)" &&
            stat(e.path().c_str(), &st) == 0)
            return long(st.st_size);
    }
    return -1;
}


std::vector<std::string> listing(const std::string &folder)
{
    std::vector<std::string> names;
    for (auto &e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST_F(Brevin, BodiesLargerThanTheMemoryAllowedAreWrittenWhole)
{
    // A limit on the address space that leaves 16 MiB beyond what brevin maps by itself, for a
    // body of 33 MiB: into a new file, an existing one with a second link and a mode of its
    // own, one reached through a symbolic link, and a pipe.
#ifdef __SANITIZE_ADDRESS__
    // The sanitizer maps terabytes, so that no such limit can hold it: the rows run without one
    // in a sanitized build, and the release build holds brevin to the limit.
    const rlim_t cap = RLIM_INFINITY;
#else
    long base = restingsize();
    ASSERT_GT(base, 0) << "brevin's size was not seen";
    const rlim_t cap = rlim_t(base) + (16 << 20);
#endif
    TempDir d, t;
    auto limited = [&](std::vector<std::string> args, const std::string &tmpdir = "") {
        args.insert(args.begin(), BREVIN);
        return run(args, 20000ms, [&] {
            rlimit lim = {cap, cap};
            setrlimit(RLIMIT_AS, &lim);
            if (!tmpdir.empty())
                setenv("TMPDIR", tmpdir.c_str(), 1);
        });
    };
    const std::string body = pattern(33 * 1024 * 1024 + 5);
    auto r = limited({"-o", d / "new", server.url("/bigchunked")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(slurp(d / "new") == body) << fs::file_size(d / "new");

    spit(d / "old", "stale");
    ASSERT_EQ(chmod((d / "old").c_str(), 0640), 0);
    ASSERT_EQ(link((d / "old").c_str(), (d / "other").c_str()), 0);
    struct stat before, after;
    ASSERT_EQ(stat((d / "old").c_str(), &before), 0);
    r = limited({"-o", d / "old", server.url("/bigchunked")});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(stat((d / "old").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_TRUE(slurp(d / "other") == body) << fs::file_size(d / "other");

    fs::create_symlink(d / "other", d / "link");
    spit(d / "other", "stale");
    r = limited({"-o", d / "link", server.url("/bigchunked")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(d / "link"));
    EXPECT_TRUE(slurp(d / "old") == body) << fs::file_size(d / "old");

    r = limited({server.url("/bigchunked")}, t.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == body) << r.out.size();
    // A failure late in the body is one of the transfer, not of memory; the pipe has had nothing.
    r = limited({"-v", server.url("/cutlate")}, t.path);
    auto ref = curlread(server.url("/cutlate"));
    EXPECT_EQ(ref.code, CURLE_PARTIAL_FILE) << ref.error;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.size(), 0u);
    EXPECT_EQ(untimed(r.err), "Error retrieving document\n" + untimed(ref.error) + "\n");
    EXPECT_EQ(listing(t.path), std::vector<std::string>{});

    // A writable file in a folder where no file can be made (as for any user, root too: the
    // child gives up the power to override permissions) takes the body through a temporary
    // file in $TMPDIR; where that cannot be had either, from memory, as far as memory goes.
    TempDir ro;
    spit(ro / "out", "stale");
    ASSERT_EQ(stat((ro / "out").c_str(), &before), 0);
    ASSERT_EQ(chmod(ro.path.c_str(), 0555), 0);
    auto readonly = [&](std::vector<std::string> args, const std::string &tmpdir, rlim_t as) {
        args.insert(args.begin(), BREVIN);
        return run(args, 20000ms, [&] {
            prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
            rlimit lim = {as, as};
            setrlimit(RLIMIT_AS, &lim);
            setenv("TMPDIR", tmpdir.c_str(), 1);
        });
    };
    r = readonly({"-o", ro / "out", server.url("/bigchunked")}, t.path, cap);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(slurp(ro / "out") == body) << fs::file_size(ro / "out");
    r = readonly({"-o", ro / "out", server.url("/big")}, t / "missing", RLIM_INFINITY);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(slurp(ro / "out") == pattern(3 * 1024 * 1024 + 7)) << fs::file_size(ro / "out");
    ASSERT_EQ(stat((ro / "out").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(listing(ro.path), std::vector<std::string>{"out"});
    EXPECT_EQ(listing(t.path), std::vector<std::string>{});
    chmod(ro.path.c_str(), 0700);
}

TEST_F(Brevin, NothingOfABodyReachesTheOutputBeforeItIsCompleteEvenAfterSIGKILL)
{
    // In the middle of a body (1 MiB sent, then the server stalls), into a new file and into one
    // that was there: the body so far (all but the last piece not yet written) is in an unnamed
    // file of the output's folder, the output is there and empty; after a SIGKILL it stays
    // empty and nothing else is left in the folder.
    for (bool existing : {false, true}) {
        TempDir d;
        if (existing)
            spit(d / "out", "stale");
        pid_t pid = spawn({BREVIN, "-o", d / "out", server.url("/stall")}, d / "stdout", d / "stderr");
        EXPECT_TRUE(waitfor([&] { return unnamedin(pid, d.path) >= 1 << 19; })) << unnamedin(pid, d.path);
        EXPECT_EQ(fs::file_size(d / "out"), 0u);
        kill(pid, SIGKILL);
        EXPECT_EQ(waitexit(pid), 128 + SIGKILL);
        EXPECT_EQ(fs::file_size(d / "out"), 0u);
        EXPECT_EQ(listing(d.path), (std::vector<std::string>{"out", "stderr", "stdout"}));
    }

    // Standard output that is a pipe, and a FIFO named by -o: the body so far is in $TMPDIR,
    // and the pipe has had nothing.
    for (bool named : {false, true}) {
        TempDir d, t;
        ASSERT_EQ(mkfifo((d / "pipe").c_str(), 0600), 0);
        int rd = open((d / "pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(rd, 0);
        std::vector<std::string> args = {BREVIN, server.url("/stall")};
        if (named)
            args.insert(args.begin() + 1, {"-o", d / "pipe"});
        pid_t pid = spawn(args, named ? d / "stdout" : d / "pipe", d / "stderr",
                          [&] { setenv("TMPDIR", t.path.c_str(), 1); });
        EXPECT_TRUE(waitfor([&] { return unnamedin(pid, t.path) >= 1 << 19; })) << named << unnamedin(pid, t.path);
        EXPECT_EQ(unread(rd), 0) << named;
        kill(pid, SIGKILL);
        EXPECT_EQ(waitexit(pid), 128 + SIGKILL);
        char c;
        EXPECT_EQ(read(rd, &c, 1), 0) << named << ": the pipe got something";
        close(rd);
        EXPECT_EQ(listing(t.path), std::vector<std::string>{});
    }
}

TEST_F(Brevin, AWriteThatFailsInTheMiddleOfTheBodyIsAFailedRetrieval)
{
    // The body cannot be written past 1 MiB, or at all (a full disk, a file size limit): the
    // retrieval fails with the reason, into a file and into a pipe alike, whether the write
    // that fails comes in the middle or is the last, and the output stays empty.
    TempDir d, t;
    rlim_t most = 0;
    auto small = [&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit lim = {most, most};
        setrlimit(RLIMIT_FSIZE, &lim);
        setenv("TMPDIR", t.path.c_str(), 1);
    };
    spit(d / "out", "stale");
    for (auto args : std::vector<std::vector<std::string>>{{BREVIN, "-v", "-o", d / "out", server.url("/big")},
                                                            {BREVIN, "-v", server.url("/big")},
                                                            {BREVIN, "-v", "-o", d / "out", server.url("/hello")}}) {
        most = args.back() == server.url("/big") ? 1 << 20 : 0;
        auto r = run(args, 20000ms, small);
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.err, "Error retrieving document\ncannot write the body: File too large\n");
        EXPECT_EQ(r.out.size(), 0u);
        EXPECT_EQ(slurp(d / "out"), "");
        EXPECT_EQ(listing(d.path), std::vector<std::string>{"out"});
        EXPECT_EQ(listing(t.path), std::vector<std::string>{});
    }

    // Where the write into the output file fails after the fetch (here from memory, no
    // temporary file being had), the file is left empty, not with part of the body.
    TempDir ro;
    spit(ro / "out", "stale");
    ASSERT_EQ(chmod(ro.path.c_str(), 0555), 0);
    most = 1 << 20;
    auto r = run({BREVIN, "-o", ro / "out", server.url("/big")}, 20000ms, [&] {
        prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        small();
        setenv("TMPDIR", (t / "missing").c_str(), 1);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, ro / "out" + ": can't write output file\n");
    EXPECT_EQ(fs::file_size(ro / "out"), 0u);
    chmod(ro.path.c_str(), 0700);

    // The same for a standard output that is a file, opened for appending: the copy of the
    // complete body stops at the size limit, and the file is left as long as it was.
    const std::string kept = pattern(5 << 19);
    spit(d / "log", kept);
    most = 4 << 20;
    r = run({BREVIN, server.url("/big")}, 20000ms, [&] {
        small();
        int f = open((d / "log").c_str(), O_WRONLY | O_APPEND);
        if (f < 0 || dup2(f, 1) != 1)
            _exit(126);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "standard output: can't write output file\n");
    EXPECT_TRUE(slurp(d / "log") == kept) << fs::file_size(d / "log");
}

TEST_F(Brevin, ASecondHttpsTryThatGotPastTheHandshakeGivesItsOwnReason)
{
    // The CA stands in the bundle only: the second try accepts the certificate, then the body is
    // cut short. That is the reason given, not the first try's refusal.
    auto &t = tls();
    if (!t.why.empty())
        GTEST_SKIP() << "HTTPS rows skipped: " << t.why;
    TempDir d;
    auto r = t.fetch({"-v", "-o", d / "out", t.url("bundle", "/truncated")});
    // libcurl's words for the cut depend on its TLS library: the body short of its length, or
    // the connection's end without TLS's closing message; never a certificate's refusal.
    auto ref = t.read(t.url("bundle", "/truncated"));
    EXPECT_TRUE(ref.code == CURLE_PARTIAL_FILE || ref.code == CURLE_RECV_ERROR) << ref.code << ": " << ref.error;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(untimed(r.err), "Error retrieving document\n" + untimed(ref.error) + "\n");
    EXPECT_EQ(slurp(d / "out"), "");
}

TEST_F(Brevin, AFileThatTookTheOutputsPlaceMeanwhileIsNeverReplaced)
{
    // The server is the test itself: half the body, then, once the path has changed, the rest.
    // Another file renamed onto the output path stays there; an output file that got another
    // link keeps it, and both names hold the body.
    TempDir d, e;
    for (bool renamed : {true, false}) {
        Listener l;
        pid_t pid = spawn({BREVIN, "-o", d / "out", "http://127.0.0.1:" + std::to_string(l.port) + "/"}, e / "out",
                          e / "err");
        int c = -1;
        ASSERT_TRUE(waitfor([&] { return (c = accept(l.fd, nullptr, nullptr)) >= 0; })) << "no connection";
        std::string head;
        char buf[4096];
        pollfd p = {c, POLLIN, 0};
        while (head.find("\r\n\r\n") == std::string::npos && poll(&p, 1, 5000) == 1) {
            ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0)
                break;
            head.append(buf, size_t(n));
        }
        std::string half = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello";
        ASSERT_EQ(write(c, half.data(), half.size()), ssize_t(half.size()));
        if (renamed) {
            spit(d / "theirs", "theirs");
            ASSERT_EQ(rename((d / "theirs").c_str(), (d / "out").c_str()), 0);
        } else {
            ASSERT_EQ(link((d / "out").c_str(), (d / "other").c_str()), 0);
        }
        ASSERT_EQ(write(c, "world", 5), 5);
        close(c);
        EXPECT_EQ(waitexit(pid), 0) << slurp(e / "err");
        if (renamed) {
            EXPECT_EQ(slurp(d / "out"), "theirs");
            EXPECT_EQ(listing(d.path), std::vector<std::string>{"out"});
        } else {
            EXPECT_EQ(slurp(d / "out"), "helloworld");
            EXPECT_EQ(slurp(d / "other"), "helloworld");
            EXPECT_EQ(listing(d.path), (std::vector<std::string>{"other", "out"}));
        }
        fs::remove(d / "out");
    }
}

namespace {

// brevin with standard error on a pseudo-terminal of `cols` columns (raw: the bytes as written)
// that is its controlling terminal, brevin in the foreground; or, `background`, a job in the
// background of a session leader that keeps the foreground, under stty tostop; or, `detached`,
// in a session of its own that has no terminal (as setsid leaves it). `during` gets brevin's
// pid, the master side and what has been read so far, after each read.
Result onpty(std::vector<std::string> args, unsigned short cols,
             const std::function<void(pid_t, int, std::string &)> &during = {}, bool background = false,
             bool detached = false)
{
    int master, slave;
    termios raw = {};
    cfmakeraw(&raw);
    raw.c_lflag |= background ? TOSTOP : 0;
    winsize ws = {24, cols, 0, 0};
    if (openpty(&master, &slave, nullptr, &raw, &ws) || fcntl(master, F_SETFD, FD_CLOEXEC) ||
        fcntl(master, F_SETFL, O_NONBLOCK))
        abort();
    args.insert(args.begin(), BREVIN);
    auto v = cargv(args);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR), st = 0;
        if (setsid() < 0 || (!detached && ioctl(slave, TIOCSCTTY, 0)) || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(slave, 2) < 0)
            _exit(126);
        pid_t job = background ? fork() : 0;
        if (job > 0)   // a job stopped for writing fails, and goes with its leader
            _exit(waitpid(job, &st, WUNTRACED) != job ? 126 : WIFSTOPPED(st) ? 128 + WSTOPSIG(st) : decode(st));
        if (job < 0 || (background && setpgid(0, 0)))
            _exit(126);
        execv(v[0], v.data());
        _exit(127);
    }
    close(slave);
    Result r;
    auto end = std::chrono::steady_clock::now() + 20s;
    pollfd p = {master, POLLIN, 0};
    for (ssize_t n = 1; n != 0 && std::chrono::steady_clock::now() < end;) {
        char buf[4096];
        poll(&p, 1, 50);
        if ((n = read(master, buf, sizeof buf)) > 0)
            r.err.append(buf, size_t(n));
        if (n > 0 && during)
            during(pid, master, r.err);
        if (n < 0 && errno != EAGAIN)
            break;   // EIO: the last writer has closed the terminal
    }
    close(master);
    r.status = waitexit(pid, 5000ms);
    return r;
}

// The texts of the lines drawn ("\r" TEXT ESC [ K; the erasure is the empty one), and in `rest`
// what else was written.
std::vector<std::string> drawn(const std::string &err, std::string &rest)
{
    std::vector<std::string> lines;
    rest.clear();
    for (size_t at = 0, end; at < err.size(); at++)
        if (err[at] == '\r' && (end = err.find("\x1b[K", at)) != std::string::npos) {
            lines.push_back(err.substr(at + 1, end - at - 1));
            at = end + 2;
        } else {
            rest += err[at];
        }
    return lines;
}

// A line with each number in it (digits and points) as "#".
std::string shape(const std::string &line)
{
    std::string s;
    for (char c : line)
        if (!((c >= '0' && c <= '9') || c == '.'))
            s += c;
        else if (s.empty() || s.back() != '#')
            s += '#';
    return s;
}

} // namespace

TEST_F(Brevin, ALongFetchShowsHowFarItHasComeOnATerminalOnly)
{
    TempDir d;
    const std::string body = pattern(320 * 1024), out = d / "out";
    // On a pipe, the messages of any other fetch and nothing else.
    auto r = fetch("/slow", {"-v", "-o", out});
    EXPECT_EQ(r.err, "Length 327680\n2 headers\n");
    EXPECT_TRUE(r.status == 0 && slurp(out) == body);

    // On a terminal, from the second second on, at most four times a second: the count rising,
    // the length, share, rate and time left; the line erased at the end, and nothing after.
    auto began = std::chrono::steady_clock::now();
    r = onpty({"-o", out, server.url("/slow")}, 80);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    EXPECT_TRUE(r.status == 0 && slurp(out) == body);
    std::string rest;
    auto lines = drawn(r.err, rest);
    EXPECT_EQ(rest, "") << r.err;
    ASSERT_GE(lines.size(), 2u) << r.err;
    EXPECT_LE(lines.size() - 1, size_t((took.count() - 1000) / 250 + 1)) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - 4), "\r\x1b[K");
    for (size_t i = 0; i + 1 < lines.size(); i++) {
        EXPECT_EQ(shape(lines[i]), "# KiB of # KiB  #%  # KiB/s  #:# left");
        EXPECT_NE(lines[i].find(" of 320 KiB  "), std::string::npos) << lines[i];
        EXPECT_TRUE(i == 0 || std::stod(lines[i]) > std::stod(lines[i - 1])) << lines[i];
    }

    // On a terminal of unknown width (taken as 80), the trace before the fetch and the failure
    // after it, on lines of their own.
    r = onpty({"-vvv", "-o", out, server.url("/slowcut")}, 0);
    lines = drawn(r.err, rest);
    EXPECT_EQ(r.status, 1);
    const std::string trace = "set_uri\nset_header\nprepare\nprocess\n";
    EXPECT_EQ(rest, trace + "Error retrieving document\n" + reason(rest));
    EXPECT_NE(reason(rest), "");
    EXPECT_EQ(r.err.substr(0, trace.size() + 1), trace + "\r");
    EXPECT_NE(r.err.find(" left\x1b[K\r\x1b[KError retrieving document\n"), std::string::npos) << r.err;

    // 30 columns, then 12: brevin is stopped while the size changes, so that of the lines after,
    // all but the first (perhaps made before) fit in 12 columns, with fewer fields.
    size_t resized = 0;
    r = onpty({"-o", out, server.url("/slow")}, 30, [&](pid_t pid, int master, std::string &sofar) {
        if (resized || sofar.find("\x1b[K") == std::string::npos)
            return;
        EXPECT_TRUE(halt(pid));
        winsize ws = {24, 12, 0, 0};
        ioctl(master, TIOCSWINSZ, &ws);
        char buf[4096];
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
            sofar.append(buf, size_t(n));
        resized = sofar.size();
        kill(pid, SIGCONT);
    });
    EXPECT_TRUE(r.status == 0 && slurp(out) == body);
    auto before = drawn(r.err.substr(0, resized), rest), after = drawn(r.err.substr(resized), rest);
    ASSERT_TRUE(resized > 0 && after.size() >= 3) << r.err;
    for (auto &l : before)
        EXPECT_TRUE(l.size() <= 29 && l.find('%') != std::string::npos) << l;
    EXPECT_LE(after[0].size(), 29u);
    EXPECT_EQ(after.back(), "");
    for (size_t i = 1; i + 1 < after.size(); i++)
        EXPECT_TRUE(after[i].size() <= 11 && after[i].find("KiB") != std::string::npos) << after[i];

    // A fetch that is over within a second draws nothing; nor does a job in the background, nor
    // one that has left the terminal's session.
    r = onpty({"-v", "-o", out, server.url("/hello")}, 80);
    EXPECT_EQ(r.err, "Length 13\n2 headers\n");
    r = onpty({"-o", out, server.url("/slow")}, 80, {}, true);
    EXPECT_EQ(r.status, 0) << "stopped by signal " << r.status - 128;
    EXPECT_EQ(r.err, "");
    r = onpty({"-o", out, server.url("/slow")}, 80, {}, false, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "") << "drawn over the terminal of another session";
}

// A server that sends the first MiB of 64 at once and then nothing: from the first line on, no
// byte is coming, and the line says so, with neither a rate nor a time left. Ended by SIGTERM
// (as timeout ends it) while the line is there, brevin erases it on its way out.
TEST_F(Brevin, AStalledFetchSaysSoAndASignalTakesItsLineAway)
{
    TempDir d;
    const std::string out = d / "out";
    // A late look may find more than three lines drawn: the signal goes once, at the first look
    // that finds three or more.
    bool sent = false;
    auto r = onpty({"-o", out, server.url("/stall")}, 80, [&](pid_t pid, int, std::string &sofar) {
        std::string rest;
        if (!sent && drawn(sofar, rest).size() >= 3)
            sent = kill(pid, SIGTERM) == 0;
    });
    EXPECT_EQ(r.status, 128 + SIGTERM);
    std::string rest;
    auto lines = drawn(r.err, rest);
    EXPECT_EQ(rest, "") << r.err;
    ASSERT_GE(lines.size(), 4u) << r.err;
    for (size_t i = 0; i + 1 < lines.size(); i++)
        EXPECT_EQ(lines[i], "1.0 MiB of 64.0 MiB  1%  stalled") << r.err;
    EXPECT_EQ(lines.back(), "") << "the line left as it was";
}
