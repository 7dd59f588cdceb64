// Releasing an interface member the object owns, and clearing it.
#pragma once

// Drops the member's reference, if it holds one, and leaves it null.
template <class T> void releaseAndClear(T*& member) {
    if (member) {
        member->Release();
        member = nullptr;
    }
}
