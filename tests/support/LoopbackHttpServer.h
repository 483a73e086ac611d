// A tiny HTTP server on 127.0.0.1 (never reachable from elsewhere) on a port
// the system picks: it keeps every request byte for byte and answers each
// with the reply it was given, after an optional delay (to run a client's
// read time-out out).  One connection at a time, HTTP/1.0 replies.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kvo::support {

class LoopbackHttpServer {
  public:
    LoopbackHttpServer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listen_, 8) != 0)
            throw std::runtime_error("test server cannot listen");
        socklen_t len = sizeof addr;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LoopbackHttpServer() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }

    int Port() const { return port_; }
    std::string Url(const std::string& path = "/report") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    // Every following request gets this reply (status and body).
    void Reply(const std::string& body, int status = 200) {
        std::lock_guard lock(mutex_);
        reply_ = "HTTP/1.0 " + std::to_string(status) + " X\r\nContent-Type: text/xml\r\n" +
                 "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    void Delay(int ms) { delayMs_ = ms; }

    // Whole requests: head and body as received.
    std::vector<std::string> Requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // The body of the only request; empty when there was not exactly one.
    std::string OnlyBody() const {
        auto all = Requests();
        if (all.size() != 1) return {};
        return all[0].substr(all[0].find("\r\n\r\n") + 4);
    }

  private:
    void Serve() {
        while (!stop_) {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int fd = ::accept(listen_, nullptr, nullptr);
            if (fd < 0) continue;
            Handle(fd);
            ::close(fd);
        }
    }

    void Handle(int fd) {
        std::string in;
        std::size_t need = std::string::npos;
        char buf[65536];
        while (need == std::string::npos || in.size() < need) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, std::size_t(n));
            std::size_t head = in.find("\r\n\r\n");
            if (need == std::string::npos && head != std::string::npos) {
                std::size_t length = 0;
                std::size_t cl = in.find("Content-Length: ");
                if (cl != std::string::npos && cl < head) length = std::stoul(in.substr(cl + 16));
                need = head + 4 + length;
            }
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(in);
        }
        for (int waited = 0; waited < delayMs_ && !stop_; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::string out;
        {
            std::lock_guard lock(mutex_);
            out = reply_;
        }
        ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
    }

    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> delayMs_{0};
    mutable std::mutex mutex_;
    std::string reply_ = "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n";
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace kvo::support
