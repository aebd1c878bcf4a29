// libcurl's own reading of a URL, with what brevin's request shares with it that can change the
// outcome (HTTP/1.1, http and https only, no proxy, the system's CA store as libcurl has it),
// so that the tests can hold brevin to the libcurl of the machine they run on.
//   curlread URL BODYFILE
// writes the body to BODYFILE and prints three lines: libcurl's result code, the certificate
// check's result (CURLINFO_SSL_VERIFYRESULT) and libcurl's words for the failure (empty on
// success). The exit status is 0 whenever libcurl could be asked.
#include <cstdio>
#include <curl/curl.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    FILE *body = fopen(argv[2], "wb");
    CURL *c = curl_easy_init();
    if (!body || !c)
        return 1;
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_URL, argv[1]);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, body);
    CURLcode rc = curl_easy_perform(c);
    long verify = 0;
    curl_easy_getinfo(c, CURLINFO_SSL_VERIFYRESULT, &verify);
    printf("%d\n%ld\n%s\n", int(rc), verify, rc == CURLE_OK ? "" : error[0] ? error : curl_easy_strerror(rc));
    curl_easy_cleanup(c);
    return fclose(body) == 0 ? 0 : 1;
}
