// tarvex-upgrade-server: the development upgrade server.
//
// Answers the version query of the upgrade engine from DIR/manifest.json and
// serves the packets of DIR/packets/. It is what the tests, the benchmarks and
// the demo run against; it is not meant to face the internet.

#include <httplib.h>
#include <json/json.h>
#include <openssl/evp.h>

#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

const char usageText[] =
    "Usage: tarvex-upgrade-server --root DIR --key KEY [options]\n"
    "\n"
    "Answers GET PREFIX PATH/NUMBER (with the header token: the MD5 of\n"
    "PATH/NUMBER followed by KEY, in lower-case hex) with the modules of\n"
    "DIR/manifest.json, and serves the files of DIR/packets/ under /packets/.\n"
    "When DIR/release.json (tarvex-release sign) exists, the answer carries it\n"
    "under the key \"release\".\n"
    "Prints one line \"listening on URL\" once it accepts connections.\n"
    "\n"
    "Options:\n"
    "  --root DIR                  directory with manifest.json and packets/\n"
    "  --key KEY                   shared key of the token\n"
    "  --prefix PREFIX             request prefix (default /api)\n"
    "  --path PATH                 request path (default /upgrade/query)\n"
    "  --host HOST                 address to listen on (default 127.0.0.1)\n"
    "  --port N                    port; 0 or none picks a free one\n"
    "  --cert FILE --cert-key FILE serve HTTPS with this certificate and key\n"
    "  --answer FILE               answer the query with FILE verbatim instead of\n"
    "                              the manifest (after the token check)\n"
    "  --throttle-bytes-per-sec N  send every body at no more than N bytes/s\n"
    "  --stall-after-bytes N       send N bytes of every body, then stop sending\n"
    "  --stall-seconds S           drop the connection after stalling S seconds\n"
    "                              (default: stall until stopped)\n"
    "  --drop-after-bytes N        drop the connection after N bytes of every\n"
    "                              body (a client that resumes gets N more each time)\n"
    "  --unavailable N             answer the first N packet requests with 503\n"
    "  --retry-after S             send Retry-After: S with those 503 answers\n"
    "  --ignore-ranges             answer range requests for packets in full (200)\n"
    "  --endless                   serve every packet as an endless body: its\n"
    "                              bytes over and over, without a length\n"
    "  --request-log FILE          append one line per packet request to FILE:\n"
    "                              \"GET /packets/NAME range=VALUE if-range=VALUE\"\n"
    "                              (\"-\" for an absent header)\n"
    "  --quiet                     do not log requests on standard error\n"
    "  --help                      show this text\n"
    "  --version                   show the version\n"
    "\n"
    "Packets are served with ETag, Last-Modified and Accept-Ranges: a request\n"
    "with Range: bytes=N- (and a matching If-Range, if any) gets 206 with\n"
    "Content-Range; N at or beyond the end gets 416.\n"
    "\n"
    "GET /redirect/N answers with a redirect to /redirect/N-1; /redirect/0\n"
    "answers \"redirected\" (for clients that follow redirects).\n";

struct Options
{
    std::string root;
    std::string key;
    std::string prefix = "/api";
    std::string path = "/upgrade/query";
    std::string host = "127.0.0.1";
    int port = 0;
    std::string cert;
    std::string certKey;
    std::string answerFile;
    long long throttleBytesPerSec = 0;
    long long stallAfterBytes = -1;
    long long stallSeconds = 0;
    long long dropAfterBytes = -1;
    long long unavailable = 0;
    long long retryAfter = -1;
    bool ignoreRanges = false;
    bool endless = false;
    std::string requestLog;
    bool quiet = false;
};

std::atomic<bool> stopping{false};

bool parseNumber(const std::string &text, long long minimum, long long &value)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < minimum)
        return false;
    value = parsed;
    return true;
}

// 0: run, 1: bad command line, 2: help shown.
int parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::cout << usageText;
            return 2;
        }
        if (name == "--version") {
            std::cout << "tarvex-upgrade-server " TVX_VERSION "\n";
            return 2;
        }
        if (name == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (name == "--ignore-ranges") {
            options.ignoreRanges = true;
            continue;
        }
        if (name == "--endless") {
            options.endless = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << "missing value for " << name << "\n";
            return 1;
        }
        const std::string value = argv[++i];
        long long number = 0;
        if (name == "--root") {
            options.root = value;
        } else if (name == "--key") {
            options.key = value;
        } else if (name == "--prefix") {
            options.prefix = value;
        } else if (name == "--path") {
            options.path = value;
        } else if (name == "--host") {
            options.host = value;
        } else if (name == "--port") {
            if (!parseNumber(value, 0, number) || number > 65535) {
                std::cerr << "invalid port " << value << "\n";
                return 1;
            }
            options.port = int(number);
        } else if (name == "--cert") {
            options.cert = value;
        } else if (name == "--cert-key") {
            options.certKey = value;
        } else if (name == "--answer") {
            options.answerFile = value;
        } else if (name == "--throttle-bytes-per-sec") {
            if (!parseNumber(value, 1, options.throttleBytesPerSec)) {
                std::cerr << "invalid rate " << value << "\n";
                return 1;
            }
        } else if (name == "--stall-after-bytes") {
            if (!parseNumber(value, 0, options.stallAfterBytes)) {
                std::cerr << "invalid byte count " << value << "\n";
                return 1;
            }
        } else if (name == "--stall-seconds") {
            if (!parseNumber(value, 1, options.stallSeconds)) {
                std::cerr << "invalid seconds " << value << "\n";
                return 1;
            }
        } else if (name == "--drop-after-bytes") {
            if (!parseNumber(value, 1, options.dropAfterBytes)) {
                std::cerr << "invalid byte count " << value << "\n";
                return 1;
            }
        } else if (name == "--unavailable") {
            if (!parseNumber(value, 0, options.unavailable)) {
                std::cerr << "invalid count " << value << "\n";
                return 1;
            }
        } else if (name == "--retry-after") {
            if (!parseNumber(value, 0, options.retryAfter)) {
                std::cerr << "invalid seconds " << value << "\n";
                return 1;
            }
        } else if (name == "--request-log") {
            options.requestLog = value;
        } else {
            std::cerr << "unknown option " << name << "\n" << usageText;
            return 1;
        }
    }
    if (options.root.empty() || options.key.empty()) {
        std::cerr << "--root and --key are required\n" << usageText;
        return 1;
    }
    if (options.cert.empty() != options.certKey.empty()) {
        std::cerr << "--cert and --cert-key go together\n";
        return 1;
    }
    std::error_code error;
    if (!fs::is_directory(options.root, error)) {
        std::cerr << "root directory " << options.root << " does not exist\n";
        return 1;
    }
    return 0;
}

std::string md5Hex(const std::string &text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr))
        return std::string();
    static const char hexDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += hexDigits[digest[i] >> 4];
        hex += hexDigits[digest[i] & 0xf];
    }
    return hex;
}

std::string percentEncode(const std::string &text)
{
    static const char hexDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hexDigits[c >> 4];
            out += hexDigits[c & 0xf];
        }
    }
    return out;
}

bool readWholeFile(const std::string &path, std::string &content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    content = buffer.str();
    return !in.bad();
}

// Sends every body: in blocks, at the configured rate, and stalling where
// asked, so that clients can be tested against slow and stuck servers.
class BodySender
{
public:
    explicit BodySender(const Options &options) : m_options(options) {}

    template <typename ReadBlock>
    bool send(size_t offset, size_t length, httplib::DataSink &sink, ReadBlock readBlock)
    {
        if (m_options.stallAfterBytes >= 0 && offset >= size_t(m_options.stallAfterBytes))
            return stall();
        if (m_options.dropAfterBytes >= 0 && m_sentInBody >= (unsigned long long)m_options.dropAfterBytes)
            return false;
        size_t block = 64 * 1024;
        if (m_options.throttleBytesPerSec > 0)
            block = std::max<size_t>(1, size_t(m_options.throttleBytesPerSec / 10));
        block = std::min(block, length);
        if (m_options.stallAfterBytes >= 0)
            block = std::min(block, size_t(m_options.stallAfterBytes) - offset);
        if (m_options.dropAfterBytes >= 0)
            block = std::min(block, size_t((unsigned long long)m_options.dropAfterBytes - m_sentInBody));
        std::string data;
        if (!readBlock(offset, block, data) || data.empty())
            return false;
        if (!sink.write(data.data(), data.size()))
            return false;
        m_sentInBody += data.size();
        if (m_options.throttleBytesPerSec > 0) {
            m_sent += data.size();
            const auto due = m_start + std::chrono::microseconds(
                                 (long long)(double(m_sent) * 1e6 / double(m_options.throttleBytesPerSec)));
            std::this_thread::sleep_until(due);
        }
        return true;
    }

private:
    bool stall()
    {
        const auto begin = std::chrono::steady_clock::now();
        while (!stopping) {
            if (m_options.stallSeconds > 0
                && std::chrono::steady_clock::now() - begin >= std::chrono::seconds(m_options.stallSeconds))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false; // drops the connection
    }

    const Options &m_options;
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    unsigned long long m_sent = 0;
    unsigned long long m_sentInBody = 0;
};

void setBody(const Options &options, httplib::Response &response, std::string body, const char *contentType)
{
    auto content = std::make_shared<std::string>(std::move(body));
    auto sender = std::make_shared<BodySender>(options);
    response.set_content_provider(
        content->size(), contentType,
        [content, sender](size_t offset, size_t length, httplib::DataSink &sink) {
            return sender->send(offset, length, sink, [&content](size_t from, size_t count, std::string &data) {
                data = content->substr(from, count);
                return true;
            });
        });
}

void setTextAnswer(const Options &options, httplib::Response &response, int status, const std::string &text)
{
    response.status = status;
    setBody(options, response, text + "\n", "text/plain");
}

class UpgradeServer
{
public:
    UpgradeServer(const Options &options, httplib::Server &server) : m_options(options), m_server(server) {}

    bool listen()
    {
        std::string host = m_options.host;
        const int port = m_options.port == 0 ? m_server.bind_to_any_port(host)
                                             : (m_server.bind_to_port(host, m_options.port) ? m_options.port : -1);
        if (port <= 0) {
            std::cerr << "cannot listen on " << host << " port " << m_options.port << "\n";
            return false;
        }
        if (host.find(':') != std::string::npos)
            host = "[" + host + "]";
        m_baseUrl = std::string(m_options.cert.empty() ? "http://" : "https://") + host + ":" + std::to_string(port);

        m_server.Get(".*", [this](const httplib::Request &request, httplib::Response &response) {
            // httplib would cut the body to the client's range itself, even
            // under the status we chose; ranges are ours to answer. The
            // request object is httplib's own non-const one.
            const_cast<httplib::Request &>(request).ranges.clear();
            handle(request, response);
        });
        if (!m_options.quiet) {
            m_server.set_logger([](const httplib::Request &request, const httplib::Response &response) {
                std::fprintf(stderr, "%s %s -> %d\n", request.method.c_str(), request.path.c_str(), response.status);
            });
        }
        std::cout << "listening on " << m_baseUrl << std::endl;
        return m_server.listen_after_bind();
    }

private:
    // Our own address, as a client reaches it: the listening one, unless we
    // listen on every interface, where the client's Host header tells.
    std::string ownAddress(const httplib::Request &request) const
    {
        if ((m_options.host == "0.0.0.0" || m_options.host == "::") && request.has_header("Host"))
            return std::string(m_options.cert.empty() ? "http://" : "https://") + request.get_header_value("Host");
        return m_baseUrl;
    }

    void handle(const httplib::Request &request, httplib::Response &response)
    {
        const std::string queryBase = m_options.prefix + m_options.path + "/";
        const std::string packetsBase = "/packets/";
        const std::string redirectBase = "/redirect/";
        const std::string &path = request.path;
        if (path.compare(0, queryBase.size(), queryBase) == 0)
            answerQuery(request, response, path.substr(queryBase.size()));
        else if (path.compare(0, packetsBase.size(), packetsBase) == 0)
            servePacket(request, response, path.substr(packetsBase.size()));
        else if (path.compare(0, redirectBase.size(), redirectBase) == 0)
            answerRedirect(response, path.substr(redirectBase.size()));
        else
            setTextAnswer(m_options, response, 404, "not found");
    }

    void answerQuery(const httplib::Request &request, httplib::Response &response, const std::string &number)
    {
        long long value = 0;
        if (!parseNumber(number, std::numeric_limits<long long>::min(), value)
            || number != std::to_string(value)) {
            setTextAnswer(m_options, response, 404, "not found");
            return;
        }
        const std::string expected = md5Hex(m_options.path + "/" + number + m_options.key);
        if (expected.empty() || !request.has_header("token") || request.get_header_value("token") != expected) {
            setTextAnswer(m_options, response, 403, "forbidden");
            return;
        }
        std::string answer;
        std::string error;
        if (!buildAnswer(request, answer, error)) {
            std::cerr << error << "\n";
            setTextAnswer(m_options, response, 500, error);
            return;
        }
        response.status = 200;
        setBody(m_options, response, std::move(answer), "application/json");
    }

    bool buildAnswer(const httplib::Request &request, std::string &answer, std::string &error) const
    {
        if (!m_options.answerFile.empty()) {
            if (!readWholeFile(m_options.answerFile, answer)) {
                error = "cannot read " + m_options.answerFile;
                return false;
            }
            return true;
        }
        const std::string manifestPath = (fs::path(m_options.root) / "manifest.json").string();
        std::string text;
        if (!readWholeFile(manifestPath, text)) {
            error = "cannot read " + manifestPath;
            return false;
        }
        try {
            Json::CharReaderBuilder builder;
            builder["collectComments"] = false;
            std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            Json::Value manifest;
            std::string parseErrors;
            if (!reader->parse(text.data(), text.data() + text.size(), &manifest, &parseErrors)) {
                error = manifestPath + ": " + parseErrors;
                return false;
            }
            const Json::Value &modules = manifest.isObject() ? manifest["modules"] : Json::Value::nullSingleton();
            if (!modules.isArray()) {
                error = manifestPath + ": \"modules\" is not an array";
                return false;
            }
            const std::string packetsUrl = ownAddress(request) + "/packets/";
            Json::Value upgrade(Json::arrayValue);
            for (Json::ArrayIndex i = 0; i < modules.size(); ++i) {
                Json::Value module = modules[i];
                if (!module.isObject()) {
                    error = manifestPath + ": module " + std::to_string(i) + " is not an object";
                    return false;
                }
                // A manifest that names its own URLs keeps them, so that tests
                // can point the engine elsewhere.
                if (!module.isMember("Url") && !module.isMember("OutUrl") && module["Packet"].isString())
                    module["Url"] = packetsUrl + percentEncode(module["Packet"].asString());
                upgrade.append(std::move(module));
            }
            Json::Value root(Json::objectValue);
            root["retcode"] = 0;
            root["value"]["upgrade"] = std::move(upgrade);
            // A signed site: its release document rides along under its own
            // key, which clients of the original protocol never read.
            const std::string releasePath = (fs::path(m_options.root) / "release.json").string();
            std::error_code exists;
            if (fs::exists(releasePath, exists)) {
                std::string releaseText;
                Json::Value release;
                if (!readWholeFile(releasePath, releaseText)
                    || !reader->parse(releaseText.data(), releaseText.data() + releaseText.size(), &release,
                                      &parseErrors)
                    || !release.isObject()) {
                    error = releasePath + ": unreadable " + parseErrors;
                    return false;
                }
                root["release"] = std::move(release);
            }
            Json::StreamWriterBuilder writer;
            writer["indentation"] = "";
            answer = Json::writeString(writer, root);
        } catch (const Json::Exception &exception) {
            error = manifestPath + ": " + exception.what();
            return false;
        }
        return true;
    }

    // Only a plain file name directly inside packets/ is served, and only
    // when it resolves there: "..", separators and links leading out are refused.
    void servePacket(const httplib::Request &request, httplib::Response &response, const std::string &name)
    {
        const std::string range = request.has_header("Range") ? request.get_header_value("Range") : std::string();
        const std::string ifRange = request.has_header("If-Range") ? request.get_header_value("If-Range") : std::string();
        logRequest(request.path, range, ifRange);
        if (name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
            setTextAnswer(m_options, response, 404, "not found");
            return;
        }
        std::error_code error;
        const fs::path packetsDir = fs::canonical(fs::path(m_options.root) / "packets", error);
        if (error) {
            setTextAnswer(m_options, response, 404, "not found");
            return;
        }
        const fs::path file = fs::canonical(packetsDir / name, error);
        if (error || file.parent_path() != packetsDir || !fs::is_regular_file(file, error)) {
            setTextAnswer(m_options, response, 404, "not found");
            return;
        }
        std::shared_ptr<std::FILE> stream(std::fopen(file.c_str(), "rb"), [](std::FILE *f) {
            if (f)
                std::fclose(f);
        });
        struct stat info;
        if (!stream || fstat(fileno(stream.get()), &info) != 0 || !S_ISREG(info.st_mode)) {
            setTextAnswer(m_options, response, 404, "not found");
            return;
        }
        const unsigned long long size = (unsigned long long)info.st_size;
        const long long mtimeNs = (long long)info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
        char etag[64];
        std::snprintf(etag, sizeof etag, "\"%llx-%llx\"", size, (unsigned long long)mtimeNs);
        char lastModified[64] = "";
        std::tm utc;
        if (gmtime_r(&info.st_mtim.tv_sec, &utc))
            std::strftime(lastModified, sizeof lastModified, "%a, %d %b %Y %H:%M:%S GMT", &utc);

        if (m_unavailableLeft.load() > 0 && m_unavailableLeft.fetch_sub(1) > 0) {
            if (m_options.retryAfter >= 0)
                response.set_header("Retry-After", std::to_string(m_options.retryAfter));
            setTextAnswer(m_options, response, 503, "unavailable");
            return;
        }
        response.set_header("ETag", etag);
        if (lastModified[0])
            response.set_header("Last-Modified", lastModified);

        // Ranges are answered here, so that the failures above and an
        // If-Range that no longer matches behave as a real server's do.
        unsigned long long start = 0;
        const bool isRangeValid = !m_options.endless && !m_options.ignoreRanges
            && (ifRange.empty() || ifRange == etag || ifRange == lastModified) && parseRange(range, start);
        if (isRangeValid && start >= size) {
            response.set_header("Content-Range", "bytes */" + std::to_string(size));
            setTextAnswer(m_options, response, 416, "range not satisfiable");
            return;
        }
        if (!m_options.endless)
            response.set_header("Accept-Ranges", "bytes");
        if (isRangeValid) {
            response.status = 206;
            response.set_header("Content-Range", "bytes " + std::to_string(start) + "-" + std::to_string(size - 1)
                                                     + "/" + std::to_string(size));
        } else {
            response.status = 200;
        }

        // Streamed block by block: a packet is never held in memory whole.
        auto sender = std::make_shared<BodySender>(m_options);
        auto readBlock = [stream, start, size](size_t from, size_t count, std::string &data) {
            if (size == 0)
                return false;
            const unsigned long long at = (start + from) % size;
            if (fseeko(stream.get(), off_t(at), SEEK_SET) != 0)
                return false;
            data.resize(std::min<unsigned long long>(count, size - at));
            const size_t got = std::fread(&data[0], 1, data.size(), stream.get());
            data.resize(got);
            return got > 0;
        };
        if (m_options.endless && size > 0) {
            response.set_chunked_content_provider(
                "application/octet-stream", [sender, readBlock](size_t offset, httplib::DataSink &sink) {
                    return sender->send(offset, 64 * 1024, sink, readBlock);
                });
            return;
        }
        response.set_content_provider(
            size_t(size - start), "application/octet-stream",
            [sender, readBlock](size_t offset, size_t length, httplib::DataSink &sink) {
                return sender->send(offset, length, sink, readBlock);
            });
    }

    // "bytes=N-" or "bytes=N-M" (served to the end: the client asked for
    // more than it needs at worst); anything else is no range we serve.
    static bool parseRange(const std::string &value, unsigned long long &start)
    {
        const std::string prefix = "bytes=";
        if (value.compare(0, prefix.size(), prefix) != 0)
            return false;
        const std::string bounds = value.substr(prefix.size());
        const size_t dash = bounds.find('-');
        if (dash == std::string::npos || dash == 0 || bounds.find(',') != std::string::npos)
            return false;
        long long parsed = 0;
        if (!parseNumber(bounds.substr(0, dash), 0, parsed))
            return false;
        start = (unsigned long long)parsed;
        return true;
    }

    void logRequest(const std::string &path, const std::string &range, const std::string &ifRange)
    {
        if (m_options.requestLog.empty())
            return;
        std::lock_guard<std::mutex> lock(m_logMutex);
        std::ofstream log(m_options.requestLog, std::ios::app);
        log << "GET " << path << " range=" << (range.empty() ? "-" : range)
            << " if-range=" << (ifRange.empty() ? "-" : ifRange) << "\n";
    }

    void answerRedirect(httplib::Response &response, const std::string &count)
    {
        long long hops = 0;
        if (!parseNumber(count, 0, hops) || hops > 1000) {
            setTextAnswer(m_options, response, 404, "not found");
            return;
        }
        if (hops == 0) {
            setTextAnswer(m_options, response, 200, "redirected");
            return;
        }
        response.set_redirect("/redirect/" + std::to_string(hops - 1));
        setTextAnswer(m_options, response, 302, "moved");
    }

    const Options &m_options;
    httplib::Server &m_server;
    std::string m_baseUrl;
    std::atomic<long long> m_unavailableLeft{m_options.unavailable};
    std::mutex m_logMutex;
};

} // namespace

int main(int argc, char **argv)
{
    Options options;
    const int parsed = parseOptions(argc, argv, options);
    if (parsed == 2)
        return 0;
    if (parsed != 0)
        return 1;

    std::unique_ptr<httplib::Server> server;
    if (options.cert.empty()) {
        server.reset(new httplib::Server);
    } else {
        server.reset(new httplib::SSLServer(options.cert.c_str(), options.certKey.c_str()));
        if (!server->is_valid()) {
            std::cerr << "cannot use certificate " << options.cert << " with key " << options.certKey << "\n";
            return 1;
        }
    }
    UpgradeServer upgradeServer(options, *server);
    const bool ok = upgradeServer.listen();
    stopping = true;
    return ok ? 0 : 1;
}
