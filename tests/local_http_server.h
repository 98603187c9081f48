// A real HTTPS server on 127.0.0.1 for the length of a test, with a certificate for the maker's
// host that the simulated phone is told to trust.
#pragma once

#include <httplib.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "test_support.h"

namespace testing_support {

// A self-signed certificate (and its key) for www.example.com, made once per test program.
struct TestCertificate {
  std::string certificateFile;
  std::string keyFile;
};

inline const TestCertificate& exampleCertificate() {
  static const TemporaryFolder folder;
  static const TestCertificate certificate = [] {
    TestCertificate c{folder.path() + "/www.example.com.pem", folder.path() + "/key.pem"};
    const CommandRun run = runCommand(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=www.example.com -addext subjectAltName=DNS:www.example.com -keyout " +
        c.keyFile + " -out " + c.certificateFile + " 2>&1");
    if (run.status != 0) throw std::runtime_error("openssl could not make a certificate");
    return c;
  }();
  return certificate;
}

class LocalHttpServer {
 public:
  // Serves the maker's page with `status` and `body`.
  explicit LocalHttpServer(
      int status = 200,
      std::string body =
          "<html><head><title>Tonewell: other tweaks</title></head><body>Tweaks</body></html>")
      : server_(exampleCertificate().certificateFile.c_str(),
                exampleCertificate().keyFile.c_str()) {
    server_.Get("/tonewell/tweaks.html",
                [status, body](const httplib::Request&, httplib::Response& response) {
                  response.status = status;
                  response.set_content(body, "text/html");
                });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~LocalHttpServer() {
    server_.stop();
    thread_.join();
  }
  LocalHttpServer(const LocalHttpServer&) = delete;
  LocalHttpServer& operator=(const LocalHttpServer&) = delete;

  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  httplib::Server& server() { return server_; }

 private:
  httplib::SSLServer server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace testing_support
