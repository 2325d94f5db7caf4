#pragma once

// One OpenConnect connection attempt at a time; all state is type-level. (Placeholder.)
class OpenConnectMgr {
public:
    static void Start();
    static void Stop(bool isManual);
};
