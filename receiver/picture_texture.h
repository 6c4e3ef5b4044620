#pragma once

// The window's streaming texture, shaped after the picture it shows: an IYUV texture of the
// stream's own size for pictures that go to the screen as they are (SDL's conversion mode set
// from their colour tags before the texture is made, as the OpenGL renderer reads it only then),
// or an ARGB8888 texture for BGRA pictures. A picture of another size, format or colours makes a
// new texture. Main thread only.

#include <SDL.h>

#include <cstdint>
#include <vector>

#include "receiver/picture_path.h"

extern "C" {
struct AVFrame;
}

namespace nimbar::client {

// What IYUV textures the renderer takes itself (the software renderer none).
YuvTextures yuv_textures_of(SDL_Renderer* renderer);

class PictureTexture {
  public:
    PictureTexture() = default;
    ~PictureTexture() { destroy(); }
    PictureTexture(const PictureTexture&) = delete;
    PictureTexture& operator=(const PictureTexture&) = delete;

    // A first texture of width x height, black: IYUV when the renderer takes it, else ARGB8888.
    // False, with SDL's error set, when it cannot be made.
    bool create(SDL_Renderer* renderer, int width, int height);
    // Uploads `picture` (IYUV-ready 4:2:0, or BGRA), first making a texture that fits it when the
    // one there does not. False, with SDL's error set, when no texture could be made.
    bool show(SDL_Renderer* renderer, const AVFrame& picture);
    // After SDL_RENDER_DEVICE_RESET, which takes every texture with it: makes the texture anew
    // and puts `picture` back in, or black without one. False with SDL's error set.
    bool recreate(SDL_Renderer* renderer, const AVFrame* picture);
    void destroy();

    SDL_Texture* get() const { return texture; }
    int width() const { return shape.width; }
    int height() const { return shape.height; }

  private:
    struct Shape {
        Uint32 format = 0;
        int width = 0;
        int height = 0;
        SDL_YUV_CONVERSION_MODE mode = SDL_YUV_CONVERSION_BT601;
        bool operator==(const Shape&) const = default;
    };
    static Shape shape_of(const AVFrame& picture);
    bool make(SDL_Renderer* renderer, const Shape& wanted);
    bool upload(const AVFrame& picture);
    // Black over the whole texture, in its format.
    void fill_black();
    // An IYUV picture of odd width or height, through one buffer with the planes one after the
    // other. SDL 2.26's Direct3D 11 renderer writes only width / 2 x height / 2 chroma samples
    // from SDL_UpdateYUVTexture, so such a picture's last chroma column and row would keep what
    // the texture held (zeros: a green edge); every renderer takes them all from SDL_UpdateTexture.
    bool upload_packed(const AVFrame& picture);

    SDL_Texture* texture = nullptr;
    Shape shape;
    std::vector<uint8_t> packed;  // made at the first odd-sized picture, kept for the next
};

}  // namespace nimbar::client
