#pragma once
// A scripted stand-in for openvpn's management interface: answers each command the way openvpn
// 2.6 does (CRLF lines, multi-line replies ending in END) and records what it was sent. It serves
// either one end of a socketpair or a loopback TCP port.
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

class FakeManagement {
public:
    FakeManagement() = default;
    FakeManagement(const FakeManagement&) = delete;
    FakeManagement& operator=(const FakeManagement&) = delete;
    ~FakeManagement() { stop(); }

    // Serves the peer end of a socketpair; returns the end for the client.
    int servePair() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return -1;
        thread_ = std::thread([this, fd = sv[1]] {
            serve(fd);
            ::close(fd);
        });
        return sv[0];
    }

    // Listens on 127.0.0.1 (free port) and serves connections one after the other.
    uint16_t listenLoopback() {
        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listenFd_, 4) != 0)
            return 0;
        socklen_t len = sizeof a;
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{listenFd_, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) continue;
                const int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) continue;
                ++connections;
                serve(c);
                ::close(c);
            }
        });
        return ntohs(a.sin_port);
    }

    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
    }

    void setState(const std::string& line) {
        std::lock_guard l(mu_);
        state_ = line;
    }
    void setLog(const std::string& text) {
        std::lock_guard l(mu_);
        log_ = text;
    }
    std::vector<std::string> commands() const {
        std::lock_guard l(mu_);
        return commands_;
    }
    bool received(const std::string& command) const {
        for (const auto& c : commands())
            if (c == command) return true;
        return false;
    }
    // Closes the current connection from this side (openvpn gone).
    void hangUp() { hangUp_ = true; }

    std::atomic<int> connections{0};

private:
    void serve(int fd) {
        send(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
             ">HOLD:Waiting for hold release:0\r\n",
             fd);
        std::string pending;
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (!stop_ && !hangUp_ && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] != '\0') pending.push_back(buf[i]); // "state\n" goes out with its NUL
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string cmd = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                answer(fd, cmd);
            }
        }
    }

    void answer(int fd, const std::string& cmd) {
        {
            std::lock_guard l(mu_);
            commands_.push_back(cmd);
        }
        std::string state, log;
        {
            std::lock_guard l(mu_);
            state = state_;
            log = log_;
        }
        if (cmd == "hold off")
            send("SUCCESS: hold flag set to OFF\r\n", fd);
        else if (cmd == "hold release")
            send("SUCCESS: hold release succeeded\r\n", fd);
        else if (cmd.rfind("username ", 0) == 0)
            send(">PASSWORD:Need 'Auth' username/password\r\nSUCCESS: 'Auth' username entered, but not yet "
                 "verified\r\n",
                 fd);
        else if (cmd.rfind("password ", 0) == 0)
            send("SUCCESS: 'Auth' password entered, but not yet verified\r\n", fd);
        else if (cmd == "state")
            send(state + "\r\nEND\r\n", fd);
        else if (cmd == "log all")
            send(log + "END\r\n", fd);
        else if (cmd == "mute 1")
            send("SUCCESS: mute level changed\r\n", fd);
        else if (cmd == "signal SIGTERM")
            send("SUCCESS: signal SIGTERM thrown\r\n", fd);
        else
            send("ERROR: unknown command, enter 'help' for more options\r\n", fd);
    }

    static void send(const std::string& text, int fd) {
        (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    }

    mutable std::mutex mu_;
    std::string state_ = "1796690804,WAIT,,,,,,";
    std::string log_;
    std::vector<std::string> commands_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hangUp_{false};
    int listenFd_ = -1;
    std::thread thread_;
};
