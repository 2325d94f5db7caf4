#pragma once

// One login attempt against the authentication endpoint. (Placeholder: being built.)
class SBAuth {
public:
    void doLoginSession(bool IsDidLoading);
};
