#include "receiver/render_output.h"

#ifdef _WIN32
#include <SDL_system.h>
#include <d3d11.h>
#include <d3d9.h>
#endif

namespace nimbar::client {

bool render_output_lost(SDL_Renderer* renderer) {
#ifdef _WIN32
    // Each accessor hands out a reference of its own, or null for another kind of renderer.
    if (IDirect3DDevice9* device = SDL_RenderGetD3D9Device(renderer); device != nullptr) {
        const HRESULT state = device->TestCooperativeLevel();
        device->Release();
        return state != D3D_OK;
    }
    if (ID3D11Device* device = SDL_RenderGetD3D11Device(renderer); device != nullptr) {
        const HRESULT reason = device->GetDeviceRemovedReason();
        device->Release();
        return reason != S_OK;
    }
#else
    (void)renderer;
#endif
    return false;
}

}  // namespace nimbar::client
