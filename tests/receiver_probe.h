#pragma once

// The receiver's window handles, which its teardown lines print, for the teardown tests.

#include "receiver/video_receiver.h"

namespace nimbar::client {

struct ReceiverProbe {
    struct Handles {
        void* window;
        void* renderer;
        void* texture;
    };
    static Handles handles(const VideoReceiver& receiver) {
        return {receiver.window, receiver.renderer, receiver.picture_texture.get()};
    }
};

}  // namespace nimbar::client
