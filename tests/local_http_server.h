// A real HTTP server on 127.0.0.1 for the length of a test.
#pragma once

#include <httplib.h>

#include <string>
#include <thread>

namespace testing_support {

class LocalHttpServer {
 public:
  LocalHttpServer() {
    server_.Get("/tonewell/tweaks.html", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(
          "<html><head><title>Tonewell: other tweaks</title></head><body>Tweaks</body></html>",
          "text/html");
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

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace testing_support
