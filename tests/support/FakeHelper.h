#pragma once
// A stand-in for tvapphelper on a Unix socket: answers the first message of each connection with
// "1" (or the reply set) and records every later message of the connection (one receive, one message) until
// the client closes it. With Serve::OneAtATime the next connection is accepted only once the open one has
// closed, the way a client that never holds two connections at once is served.
#include <atomic>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

class FakeHelper {
public:
    struct Connection {
        std::string first;
        std::vector<std::string> messages;
        bool closed = false;
    };

    enum class Serve { Concurrently, OneAtATime };

    explicit FakeHelper(std::string path, Serve serve = Serve::Concurrently)
        : path_(std::move(path)), oneAtATime_(serve == Serve::OneAtATime) {
        ::unlink(path_.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path_.copy(a.sun_path, sizeof a.sun_path - 1);
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 8) == 0;
        thread_ = std::thread([this] { run(); });
    }
    FakeHelper(const FakeHelper&) = delete;
    FakeHelper& operator=(const FakeHelper&) = delete;
    ~FakeHelper() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
        ::unlink(path_.c_str());
    }

    bool ok() const { return ok_; }
    // Ends the n-th connection from the helper's side, as the helper does once its tunnel is gone.
    void endConnection(size_t n) {
        std::lock_guard l(mu_);
        toEnd_.push_back(n);
    }
    // The answer to later first messages ("0": the helper refused to start anything).
    void setFirstReply(const std::string& reply) {
        std::lock_guard l(mu_);
        firstReply_ = reply;
    }
    // The answer to each later message of a connection (none by default, as for shell lines).
    void setLaterReply(const std::string& reply) {
        std::lock_guard l(mu_);
        laterReply_ = reply;
    }
    std::vector<Connection> connections() const {
        std::lock_guard l(mu_);
        return conns_;
    }

private:
    void run() {
        std::vector<int> open; // parallel to conns_ (index), -1 once closed
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        size_t live = 0;
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            {
                std::lock_guard l(mu_);
                for (size_t n : toEnd_)
                    if (n < open.size() && open[n] >= 0) {
                        ::close(open[n]);
                        open[n] = -1;
                        conns_[n].closed = true;
                        --live;
                    }
                toEnd_.clear();
            }
            const bool accepting = !oneAtATime_ || live == 0;
            std::vector<pollfd> p{{fd_, static_cast<short>(accepting ? POLLIN : 0), 0}};
            for (int c : open)
                p.push_back({c, static_cast<short>(c >= 0 ? POLLIN : 0), 0});
            if (poll(p.data(), p.size(), 20) <= 0) continue;
            if (p[0].revents & POLLIN) {
                const int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    open.push_back(c);
                    ++live;
                    std::lock_guard l(mu_);
                    conns_.push_back({});
                }
            }
            for (size_t i = 1; i < p.size(); ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
                char buf[513];
                const ssize_t n = recv(p[i].fd, buf, 512, 0);
                std::lock_guard l(mu_);
                Connection& conn = conns_[i - 1];
                if (n <= 0) {
                    conn.closed = true;
                    ::close(p[i].fd);
                    open[i - 1] = -1;
                    --live;
                } else if (conn.first.empty()) {
                    conn.first.assign(buf, static_cast<size_t>(n));
                    (void)::send(p[i].fd, firstReply_.data(), firstReply_.size(), MSG_NOSIGNAL);
                } else {
                    conn.messages.emplace_back(buf, static_cast<size_t>(n));
                    if (!laterReply_.empty())
                        (void)::send(p[i].fd, laterReply_.data(), laterReply_.size(), MSG_NOSIGNAL);
                }
            }
        }
        for (int c : open)
            if (c >= 0) ::close(c);
    }

    std::string path_;
    int fd_ = -1;
    bool oneAtATime_ = false;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    std::vector<Connection> conns_;
    std::vector<size_t> toEnd_;
    std::string firstReply_ = "1";
    std::string laterReply_;
    std::thread thread_;
};
