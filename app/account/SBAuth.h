#pragma once
#include "app/account/LoginTransport.h"

#include <functional>

// One login attempt against the authentication endpoint: the saved or typed account goes out as a
// multipart form on a worker thread; the answer is handled on the GUI thread, where it hands over to
// the application (AccountHost::logInSucceeded) or shows the login window again.
//
// Create with new: the instance owns itself and is deleted once its attempt has completed. Several
// attempts may run at once; each completes exactly once.
class SBAuth {
public:
    // What an attempt came to, as seen by the completion observer.
    enum class Outcome { NotSent, NoAnswer, NotJson, Refused, Accepted };

    SBAuth() = default;
    SBAuth(const SBAuth&) = delete;
    SBAuth& operator=(const SBAuth&) = delete;

    // IsDidLoading: true for the silent login at start-up (no alerts).
    void doLoginSession(bool IsDidLoading);

    // Called on the GUI thread after each attempt has made its window changes (tests, diagnostics).
    using CompletionObserver = std::function<void(Outcome)>;
    static void setCompletionObserver(CompletionObserver observer);

private:
    ~SBAuth() = default;
    void didComplete(const LoginTransport::Result& result);
    void failed(Outcome outcome, const char* information);
    void finish(Outcome outcome);
    bool IsDidLoading_ = false;
};
