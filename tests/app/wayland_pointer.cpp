// A pointer for a headless wlroots compositor, as a virtual pointer device
// (zwlr_virtual_pointer_v1).
//   wayland_pointer             gives the seat a pointer and keeps it until
//                               killed: with no pointer device a compositor
//                               offers its clients no pointer, so the presses
//                               of sway's "seat cursor" commands reach no window
//   wayland_pointer move DX DY  moves the seat's cursor by DX, DY as a mouse
//                               does; sway's "cursor move" only warps it, which
//                               a window being dragged does not follow
// Exits 1 when no compositor answers, 2 when it offers no virtual pointers, 3
// when it refuses the pointer's requests.
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// The protocol's interfaces, version 1, as its XML describes them.
const wl_interface* kNoTypes[] = {nullptr, nullptr, nullptr, nullptr, nullptr};

const wl_message kPointerRequests[] = {
    {"motion", "uff", kNoTypes},   {"motion_absolute", "uuuuu", kNoTypes},
    {"button", "uuu", kNoTypes},   {"axis", "uuf", kNoTypes},
    {"frame", "", kNoTypes},       {"axis_source", "u", kNoTypes},
    {"axis_stop", "uu", kNoTypes}, {"axis_discrete", "uufi", kNoTypes},
    {"destroy", "", kNoTypes},
};
const wl_interface kPointerInterface = {"zwlr_virtual_pointer_v1", 1, std::size(kPointerRequests),
                                        kPointerRequests,          0, nullptr};

const wl_interface* kCreateTypes[] = {&wl_seat_interface, &kPointerInterface};
const wl_message kManagerRequests[] = {
    {"create_virtual_pointer", "?on", kCreateTypes},
    {"destroy", "", kNoTypes},
};
const wl_interface kManagerInterface = {"zwlr_virtual_pointer_manager_v1",
                                        1,
                                        std::size(kManagerRequests),
                                        kManagerRequests,
                                        0,
                                        nullptr};

struct Globals {
  wl_seat* seat = nullptr;
  wl_proxy* manager = nullptr;
};

void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
              std::uint32_t) {
  auto* globals = static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && !globals->seat) {
    globals->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
  } else if (std::strcmp(interface, kManagerInterface.name) == 0) {
    globals->manager =
        static_cast<wl_proxy*>(wl_registry_bind(registry, name, &kManagerInterface, 1));
  }
}
void OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistryListener = {OnGlobal, OnGlobalRemove};

}  // namespace

int main(int argc, char** argv) {
  const bool move = argc == 4 && std::strcmp(argv[1], "move") == 0;
  if (argc != 1 && !move) {
    std::fprintf(stderr, "usage: wayland_pointer [move DX DY]\n");
    return 64;
  }
  wl_display* display = wl_display_connect(nullptr);
  if (!display) {
    std::fprintf(stderr, "wayland_pointer: no compositor to connect to\n");
    return 1;
  }
  Globals globals;
  wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &kRegistryListener, &globals);
  wl_display_roundtrip(display);
  if (!globals.manager || !globals.seat) {
    std::fprintf(stderr, "wayland_pointer: the compositor offers no virtual pointer\n");
    return 2;
  }
  wl_proxy* pointer =
      wl_proxy_marshal_flags(globals.manager, 0, &kPointerInterface, 1, 0, globals.seat, nullptr);
  if (!pointer || wl_display_roundtrip(display) == -1) {
    std::fprintf(stderr, "wayland_pointer: the compositor refused a virtual pointer\n");
    return 3;
  }
  if (move) {
    enum { kMotion = 0, kFrame = 4, kDestroy = 8, kManagerDestroy = 1 };
    wl_proxy_marshal_flags(pointer, kMotion, nullptr, 1, 0, 0u,
                           wl_fixed_from_double(std::atof(argv[2])),
                           wl_fixed_from_double(std::atof(argv[3])));
    wl_proxy_marshal_flags(pointer, kFrame, nullptr, 1, 0);
    wl_proxy_marshal_flags(pointer, kDestroy, nullptr, 1, WL_MARSHAL_FLAG_DESTROY);
    // Once the compositor answers, it has moved the cursor.
    const bool moved = wl_display_roundtrip(display) != -1;
    wl_proxy_marshal_flags(globals.manager, kManagerDestroy, nullptr, 1, WL_MARSHAL_FLAG_DESTROY);
    wl_proxy_destroy(reinterpret_cast<wl_proxy*>(globals.seat));
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    if (!moved) std::fprintf(stderr, "wayland_pointer: the compositor refused the motion\n");
    return moved ? 0 : 3;
  }
  std::printf("wayland_pointer: the seat has a pointer\n");
  std::fflush(stdout);
  // Until killed, or until the compositor goes away.
  while (wl_display_dispatch(display) != -1) {
  }
  return 0;
}
