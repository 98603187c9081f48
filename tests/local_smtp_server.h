// A small SMTP server on 127.0.0.1 for one test: it keeps the exact bytes each message arrived
// with, or refuses every recipient as a server without such a mailbox does (also with a reply
// that carries terminal control characters), or, once the message has begun, stops answering
// or drops the connection.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class LocalSmtpServer {
 public:
  enum Mode { accept, refuseRecipients, refuseWithControls, stallInData, dropInData };

  explicit LocalSmtpServer(Mode mode = accept) : mode_(mode) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~LocalSmtpServer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  LocalSmtpServer(const LocalSmtpServer&) = delete;
  LocalSmtpServer& operator=(const LocalSmtpServer&) = delete;

  std::string url() const { return "smtp://127.0.0.1:" + std::to_string(port_); }
  // Each message's DATA as it came over the wire, up to (not with) the final ".\r\n".
  std::vector<std::string> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  void serve() {
    for (;;) {
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      converse(client);
      ::close(client);
    }
  }

  void converse(int client) {
    auto say = [&](const std::string& line) {
      [[maybe_unused]] auto n = ::write(client, line.data(), line.size());
    };
    say("220 tonewell-test ESMTP\r\n");
    std::string buffer, data;
    bool inData = false;
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(client, chunk, sizeof chunk);
      if (n <= 0) return;
      buffer.append(chunk, static_cast<std::size_t>(n));
      for (;;) {
        if (inData) {
          const auto end = buffer.find("\r\n.\r\n");
          if (end == std::string::npos) break;
          data += buffer.substr(0, end + 2);
          buffer.erase(0, end + 5);
          // Without the line break put before it below, and with dot-stuffing undone.
          std::string message = data.substr(2);
          for (auto p = message.find("\r\n.."); p != std::string::npos;
               p = message.find("\r\n..", p + 3)) {
            message.erase(p + 2, 1);
          }
          {
            std::lock_guard lock(mutex_);
            messages_.push_back(message);
          }
          data.clear();
          inData = false;
          say("250 2.0.0 Ok: queued\r\n");
          continue;
        }
        const auto end = buffer.find("\r\n");
        if (end == std::string::npos) break;
        const std::string command = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        if (command.rfind("EHLO", 0) == 0 || command.rfind("HELO", 0) == 0) {
          say("250 tonewell-test\r\n");
        } else if (command.rfind("MAIL", 0) == 0) {
          say("250 2.1.0 Ok\r\n");
        } else if (command.rfind("RCPT", 0) == 0) {
          say(mode_ == refuseRecipients     ? "550 5.1.1 mailbox unavailable\r\n"
              : mode_ == refuseWithControls ? "550 5.1.1 \x1b]0;owned\x07\x1b[2J gone\r\n"
                                            : "250 2.1.5 Ok\r\n");
        } else if (command.rfind("DATA", 0) == 0) {
          say("354 End data with <CR><LF>.<CR><LF>\r\n");
          if (mode_ == dropInData) return;
          if (mode_ == stallInData) {
            while (::read(client, chunk, sizeof chunk) > 0) {
            }
            return;
          }
          inData = true;
          // The message may start in this very buffer: the loop goes on with it.
          buffer.insert(0, "\r\n");
        } else if (command.rfind("QUIT", 0) == 0) {
          say("221 2.0.0 Bye\r\n");
          return;
        } else {
          say("503 5.5.1 Bad sequence\r\n");
        }
      }
    }
  }

  Mode mode_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

}  // namespace testing_support
