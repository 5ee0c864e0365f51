#include "api.h"

#include <stdexcept>

namespace vornex {

namespace {

const char user_agent[] =
    "Mozilla/5.0 (compatible; mod_vornex/1.3.0; +https://vornex.example/"
    "humans.txt)";
const char check_path[] = "/v2.1/check";
const char prefix[] = "VX-";
const size_t prefix_length = sizeof(prefix) - 1;
const time_t timeout_seconds = 3;

// Error texts in the wording operators search for in the error log; the
// library's own names for them are terse.
struct error_name {
  httplib::Error error;
  const char *text;
};
const error_name error_names[] = {
    {httplib::Error::Connection, "Could not establish connection"},
    {httplib::Error::BindIPAddress, "Failed to bind IP address"},
    {httplib::Error::Read, "Failed to read connection"},
    {httplib::Error::Write, "Failed to write connection"},
    {httplib::Error::ExceedRedirectCount, "Maximum redirect count exceeded"},
    {httplib::Error::Canceled, "Connection handling canceled"},
    {httplib::Error::SSLConnection, "SSL connection failed"},
    {httplib::Error::SSLLoadingCerts, "SSL certificate loading failed"},
    {httplib::Error::SSLServerVerification, "SSL server verification failed"},
    {httplib::Error::UnsupportedMultipartBoundaryChars,
     "Unsupported HTTP multipart boundary characters"},
    {httplib::Error::Compression, "Compression failed"},
    {httplib::Error::ConnectionTimeout, "Connection timed out"},
};

struct keyword_code {
  const char *keyword;
  int code;
};
const keyword_code keywords[] = {
    {"inject", 7},   {"limit", 6},   {"challenge", 2},
    {"redirect", 3}, {"captcha", 4}, {"return_fake_data", 5},
};

bool unsafe_value(const std::string &value) {
  return value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

} // namespace

api::api(const std::string &server_name) {
  auto server = parse_server_name(server_name);
  server_host = std::move(server.first);
  server_port = server.second;
  headers.emplace("User-Agent", user_agent);
  data.reserve(8192);
}

std::pair<std::string, int> api::parse_server_name(const std::string &text) {
  const auto last_colon = text.rfind(':');
  if (last_colon == std::string::npos)
    return {text, 80};
  if (text.find(':') == last_colon) {
    const int port = std::stoi(text.substr(last_colon + 1));
    return {text.substr(0, last_colon), port};
  }
  const auto bracket = text.rfind(']');
  if (bracket == std::string::npos)
    return {text, 80};
  // "[v6]" with nothing after the bracket: no port was given.
  if (bracket + 1 == text.size())
    return {text.substr(1, bracket - 1), 80};
  const int port = std::stoi(text.substr(last_colon + 1));
  return {text.substr(1, bracket - 1), port};
}

void api::set_server_name(const std::string &text) {
  auto server = parse_server_name(text);
  server_host = std::move(server.first);
  server_port = server.second;
}

void api::set_remote_addr(const std::string &value) {
  headers.emplace("VX-RemoteAddr", value);
}
void api::set_remote_port(const std::string &value) {
  headers.emplace("VX-RemotePort", value);
}
void api::set_conn_addr(const std::string &value) {
  headers.emplace("VX-ConnAddr", value);
}
void api::set_ssl_proto(const std::string &value) {
  headers.emplace("VX-SSLProto", value);
}
void api::set_ciphers(const std::string &value) {
  headers.emplace("VX-SSLCipher", value);
}
void api::set_curves(const std::string &value) {
  headers.emplace("VX-SSLCurves", value);
}

void api::add_data(const std::string &text) {
  data.insert(data.end(), text.begin(), text.end());
}

void api::add_data(const char *bytes, size_t length) {
  if (length == 0)
    return;
  data.insert(data.end(), bytes, bytes + length);
}

void api::reserve_data(size_t length) {
  if (length > data.capacity())
    data.reserve(length);
}

void api::clear() {
  headers.clear();
  headers.emplace("User-Agent", user_agent);
  data.clear();
  challenge_headers.clear();
  challenge_page.clear();
}

const char *api::get_data() { return data.data(); }
size_t api::get_data_size() { return data.size(); }
const std::string &api::get_challenge_page() { return challenge_page; }
const std::map<std::string, std::string> &api::get_challenge_headers() {
  return challenge_headers;
}
std::string api::get_mitigation_url() { return mitigation_url; }
std::string api::get_reason() { return reason; }

void api::encode_data(const std::string &key, std::vector<char> &bytes) {
  if (key.empty())
    throw std::invalid_argument("encode_data: empty key");
  const size_t key_length = key.size();
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(bytes[i] ^ key[i % key_length]);
}

std::string api::error_text(httplib::Error error) {
  for (const auto &name : error_names)
    if (name.error == error)
      return name.text;
  return "Unknown";
}

int api::decode_response(int status, const httplib::Headers &response_headers,
                         const std::string &body) {
  // A value with a line break or NUL would be copied into the client's
  // response headers; such an answer is no usable response at all.
  for (const auto &header : response_headers)
    if (unsafe_value(header.second))
      throw std::runtime_error(error_text(httplib::Error::Read));

  challenge_headers.clear();
  const std::string *keyword = nullptr;
  for (const auto &header : response_headers) {
    const std::string &name = header.first;
    if (name.compare(0, prefix_length, prefix) != 0)
      continue;
    std::string rest = name.substr(prefix_length);
    if (rest == "X-Mitigation") {
      mitigation = header.second;
      keyword = &header.second;
    } else if (rest == "X-Reason") {
      reason = header.second;
    } else if (rest == "Location") {
      mitigation_url = header.second;
    } else {
      challenge_headers[std::move(rest)] = header.second;
    }
  }
  challenge_page = body;

  // Only this response's keyword decides; an older one kept in `mitigation`
  // is not a verdict of this server.
  if (keyword)
    for (const auto &entry : keywords)
      if (*keyword == entry.keyword)
        return entry.code;
  if (status == 200)
    return 0;
  if (status == 403)
    return 1;
  throw std::runtime_error(body);
}

int api::execute() {
  httplib::ClientImpl client(server_host, server_port);
  client.set_connection_timeout(timeout_seconds, 0);
  client.set_read_timeout(timeout_seconds, 0);
  client.set_write_timeout(timeout_seconds, 0);
  // The answer reaches the caller byte for byte as sent; a compressed body
  // from a broken or hostile server is never inflated inside a worker.
  client.set_decompress(false);
  client.set_compress(false);

  // The library's pointer-and-length Post copies the body into its request
  // object first, a third copy of a large body next to the parked buckets and
  // this buffer. A provider of known length writes straight from the buffer
  // and gives the same request on the wire: Content-Length, no chunking.
  const char *body = data.data();
  bool write_failed = false;
  auto result = client.Post(
      check_path, headers, data.size(),
      [body, &write_failed](size_t offset, size_t length,
                            httplib::DataSink &sink) {
        write_failed = !sink.write(body + offset, length);
        return !write_failed;
      },
      "text/plain");
  if (!result) {
    // The library reports a provider that stopped as a cancellation; here it
    // only stops when the socket would not take the body.
    const httplib::Error error =
        write_failed ? httplib::Error::Write : result.error();
    throw std::runtime_error(error_text(error));
  }
  return decode_response(result->status, result->headers, result->body);
}

} // namespace vornex
