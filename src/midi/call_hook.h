#pragma once
// Calls a hook of the table when it is installed; an absent hook counts as agreeing (0).
template <typename Hook, typename... Args>
inline int callHook(Hook hook, Args... args) {
    return hook ? hook(args...) : 0;
}
