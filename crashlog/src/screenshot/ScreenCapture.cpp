// Screen capture from the X display.
//
// libX11, libXfixes and libXrandr are loaded at run time rather than linked:
// the crash library is loaded into console programs and services that run
// on machines without any X libraries, and a crash reporter must never keep
// a program from starting.  Missing libraries mean "no display".
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "crashlog/CrashScreenshot.h"

namespace crashlog {

namespace {

// The monitor record of RandR 1.5; declared here because only the run-time
// library, not its header, is a dependency.
struct RandrMonitorInfo {
    Atom name;
    Bool primary;
    Bool automatic;
    int noutput;
    int x, y, width, height;
    int mwidth, mheight;
    void* outputs;
};

struct XApi {
    void* x11 = nullptr;
    void* xfixes = nullptr;
    void* xrandr = nullptr;
#define KVO_X(name) decltype(&::name) name = nullptr
    KVO_X(XOpenDisplay);
    KVO_X(XCloseDisplay);
    KVO_X(XInternAtom);
    KVO_X(XGetWindowProperty);
    KVO_X(XFree);
    KVO_X(XGetWindowAttributes);
    KVO_X(XTranslateCoordinates);
    KVO_X(XGetImage);
    KVO_X(XGetInputFocus);
    KVO_X(XQueryTree);
    KVO_X(XSetErrorHandler);
    KVO_X(XSync);
    KVO_X(XFixesGetCursorImage);
#undef KVO_X
    RandrMonitorInfo* (*XRRGetMonitors)(Display*, Window, Bool, int*) = nullptr;
    void (*XRRFreeMonitors)(RandrMonitorInfo*) = nullptr;

    bool Loaded() const {
        return XOpenDisplay != nullptr;
    }
};

const XApi& Api() {
    static XApi api;
    static std::once_flag once;
    std::call_once(once, [] {
        api.x11 = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (!api.x11) return;
        bool ok = true;
        auto load = [&](void* lib, auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
            ok = ok && fn;
        };
        load(api.x11, api.XCloseDisplay, "XCloseDisplay");
        load(api.x11, api.XInternAtom, "XInternAtom");
        load(api.x11, api.XGetWindowProperty, "XGetWindowProperty");
        load(api.x11, api.XFree, "XFree");
        load(api.x11, api.XGetWindowAttributes, "XGetWindowAttributes");
        load(api.x11, api.XTranslateCoordinates, "XTranslateCoordinates");
        load(api.x11, api.XGetImage, "XGetImage");
        load(api.x11, api.XGetInputFocus, "XGetInputFocus");
        load(api.x11, api.XQueryTree, "XQueryTree");
        load(api.x11, api.XSetErrorHandler, "XSetErrorHandler");
        load(api.x11, api.XSync, "XSync");
        if (ok) load(api.x11, api.XOpenDisplay, "XOpenDisplay");
        if (!ok) {
            api.XOpenDisplay = nullptr;
            return;
        }
        if ((api.xfixes = ::dlopen("libXfixes.so.3", RTLD_NOW | RTLD_LOCAL)))
            api.XFixesGetCursorImage = reinterpret_cast<decltype(api.XFixesGetCursorImage)>(
                ::dlsym(api.xfixes, "XFixesGetCursorImage"));
        if ((api.xrandr = ::dlopen("libXrandr.so.2", RTLD_NOW | RTLD_LOCAL))) {
            api.XRRGetMonitors = reinterpret_cast<decltype(api.XRRGetMonitors)>(
                ::dlsym(api.xrandr, "XRRGetMonitors"));
            api.XRRFreeMonitors = reinterpret_cast<decltype(api.XRRFreeMonitors)>(
                ::dlsym(api.xrandr, "XRRFreeMonitors"));
        }
    });
    return api;
}

// X errors (a window that went away between two requests) must not end the
// crashed program: Xlib's default handler would exit.
int IgnoreXError(Display*, XErrorEvent*) {
    return 0;
}

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

class TDisplaySession {
  public:
    explicit TDisplaySession(const XApi& api) : api_(api) {
        const char* name = std::getenv("DISPLAY");
        if (!api_.Loaded() || !name || !*name) return;
        display_ = api_.XOpenDisplay(nullptr);
        if (display_) {
            previous_ = api_.XSetErrorHandler(IgnoreXError);
            // The connection must not leak into a restarted program.
            ::fcntl(ConnectionNumber(display_), F_SETFD, FD_CLOEXEC);
        }
    }
    ~TDisplaySession() {
        if (display_) {
            api_.XSync(display_, False);
            api_.XSetErrorHandler(previous_);
            api_.XCloseDisplay(display_);
        }
    }
    TDisplaySession(const TDisplaySession&) = delete;
    TDisplaySession& operator=(const TDisplaySession&) = delete;
    Display* display() const { return display_; }

  private:
    const XApi& api_;
    Display* display_ = nullptr;
    XErrorHandler previous_ = nullptr;
};

bool WindowProperty(const XApi& api, Display* d, Window w, Atom property, Atom type,
                    std::vector<unsigned long>& values) {
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (api.XGetWindowProperty(d, w, property, 0, 4096, False, type, &actualType, &format, &count,
                               &after, &data) != Success ||
        !data)
        return false;
    bool ok = format == 32;
    if (ok) {
        auto* longs = reinterpret_cast<unsigned long*>(data);
        values.assign(longs, longs + count);
    }
    api.XFree(data);
    return ok && !values.empty();
}

// The window's outer rectangle on the root window, frame included when the
// window manager reparented it.
bool WindowRect(const XApi& api, Display* d, Window root, Window w, Rect& rect) {
    if (w == None) return false;
    Window frame = w;
    for (int depth = 0; depth < 16; ++depth) {
        Window rootReturn = None, parent = None, *children = nullptr;
        unsigned int count = 0;
        if (!api.XQueryTree(d, frame, &rootReturn, &parent, &children, &count)) return false;
        if (children) api.XFree(children);
        if (parent == None || parent == root) break;
        frame = parent;
    }
    XWindowAttributes attributes{};
    if (!api.XGetWindowAttributes(d, frame, &attributes)) return false;
    int x = 0, y = 0;
    Window child = None;
    if (!api.XTranslateCoordinates(d, frame, root, 0, 0, &x, &y, &child)) return false;
    rect = {x - attributes.border_width, y - attributes.border_width,
            x + attributes.width + attributes.border_width,
            y + attributes.height + attributes.border_width};
    return rect.Width() > 0 && rect.Height() > 0;
}

// The area of the process's own visible top-level windows, widened to the
// monitors it touches; the whole root window when there is none.
Rect ProcessArea(const XApi& api, Display* d, Window root, const Rect& screen, int pid) {
    std::vector<unsigned long> clients, pids;
    Atom clientList = api.XInternAtom(d, "_NET_CLIENT_LIST", False);
    Atom wmPid = api.XInternAtom(d, "_NET_WM_PID", False);
    if (!WindowProperty(api, d, root, clientList, XA_WINDOW, clients)) {
        Window rootReturn = None, parent = None, *children = nullptr;
        unsigned int count = 0;
        if (api.XQueryTree(d, root, &rootReturn, &parent, &children, &count) && children) {
            clients.assign(children, children + count);
            api.XFree(children);
        }
    }
    bool any = false;
    Rect area;
    for (unsigned long w : clients) {
        pids.clear();
        if (!WindowProperty(api, d, w, wmPid, XA_CARDINAL, pids) ||
            static_cast<int>(pids[0]) != pid)
            continue;
        XWindowAttributes attributes{};
        if (!api.XGetWindowAttributes(d, w, &attributes) || attributes.map_state != IsViewable)
            continue;
        Rect r;
        if (!WindowRect(api, d, root, w, r)) continue;
        if (!any) area = r;
        area = {std::min(area.left, r.left), std::min(area.top, r.top),
                std::max(area.right, r.right), std::max(area.bottom, r.bottom)};
        any = true;
    }
    if (!any || !api.XRRGetMonitors) return screen;
    int count = 0;
    RandrMonitorInfo* monitors = api.XRRGetMonitors(d, root, True, &count);
    if (!monitors || count <= 0) {
        if (monitors) api.XRRFreeMonitors(monitors);
        return screen;
    }
    auto nearest = [&](int x, int y) {
        int best = 0;
        long bestDistance = -1;
        for (int i = 0; i < count; ++i) {
            const RandrMonitorInfo& m = monitors[i];
            long dx = x < m.x ? m.x - x : (x >= m.x + m.width ? x - (m.x + m.width - 1) : 0);
            long dy = y < m.y ? m.y - y : (y >= m.y + m.height ? y - (m.y + m.height - 1) : 0);
            long distance = dx * dx + dy * dy;
            if (bestDistance < 0 || distance < bestDistance) {
                bestDistance = distance;
                best = i;
            }
        }
        return monitors[best];
    };
    RandrMonitorInfo topLeft = nearest(area.left, area.top);
    RandrMonitorInfo bottomRight = nearest(area.right - 1, area.bottom - 1);
    api.XRRFreeMonitors(monitors);
    return {topLeft.x, topLeft.y, bottomRight.x + bottomRight.width,
            bottomRight.y + bottomRight.height};
}

void DrawFrame(TScreenPicture& picture, Rect r) {
    auto put = [&](int x, int y) {
        if (x >= 0 && y >= 0 && x < picture.width && y < picture.height)
            picture.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.width) +
                           static_cast<std::size_t>(x)] = 0xFF0000;
    };
    for (int ring = 0; ring < 2; ++ring) {
        if (r.Width() <= 0 || r.Height() <= 0) return;
        for (int x = r.left; x < r.right; ++x) {
            put(x, r.top);
            put(x, r.bottom - 1);
        }
        for (int y = r.top; y < r.bottom; ++y) {
            put(r.left, y);
            put(r.right - 1, y);
        }
        r = {r.left + 1, r.top + 1, r.right - 1, r.bottom - 1};
    }
}

void DrawCursor(const XApi& api, Display* d, TScreenPicture& picture, const Rect& area) {
    if (!api.XFixesGetCursorImage) return;
    XFixesCursorImage* cursor = api.XFixesGetCursorImage(d);
    if (!cursor) return;
    int left = cursor->x - area.left - cursor->xhot;
    int top = cursor->y - area.top - cursor->yhot;
    int w = std::min<int>(cursor->width, 32), h = std::min<int>(cursor->height, 32);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int px = left + x, py = top + y;
            if (px < 0 || py < 0 || px >= picture.width || py >= picture.height) continue;
            // Premultiplied ARGB, one pixel per unsigned long.
            unsigned long argb = cursor->pixels[static_cast<std::size_t>(y) * cursor->width +
                                                static_cast<std::size_t>(x)];
            unsigned alpha = (argb >> 24) & 0xFF;
            if (!alpha) continue;
            std::uint32_t& target =
                picture
                    .pixels[static_cast<std::size_t>(py) * static_cast<std::size_t>(picture.width) +
                            static_cast<std::size_t>(px)];
            std::uint32_t out = 0;
            for (int shift = 0; shift <= 16; shift += 8) {
                unsigned src = (argb >> shift) & 0xFF, dst = (target >> shift) & 0xFF;
                unsigned value = std::min(255u, src + dst * (255 - alpha) / 255);
                out |= value << shift;
            }
            target = out;
        }
    }
    api.XFree(cursor);
}

TScreenPicture g_screenshot;

}  // namespace

TScreenPicture CaptureScreenPicture(const TScreenshotRequest& request) {
    TScreenPicture picture;
    const XApi& api = Api();
    TDisplaySession session(api);
    Display* d = session.display();
    if (!d) return picture;
    Window root = DefaultRootWindow(d);
    XWindowAttributes rootAttributes{};
    if (!api.XGetWindowAttributes(d, root, &rootAttributes)) return picture;
    Rect screen{0, 0, rootAttributes.width, rootAttributes.height};

    Rect area = screen;
    if (request.activeWindow) {
        std::vector<unsigned long> active;
        Atom property = api.XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
        Rect r;
        if (WindowProperty(api, d, root, property, XA_WINDOW, active) && active[0] != None &&
            WindowRect(api, d, root, active[0], r))
            area = r;
    } else {
        area = ProcessArea(api, d, root, screen,
                           request.processId ? request.processId : static_cast<int>(::getpid()));
    }

    picture.width = std::max(1, area.Width());
    picture.height = std::max(1, area.Height());
    picture.pixels.assign(
        static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height), 0);

    // Only the part that lies on the screen can be read; the rest stays black.
    Rect visible{std::max(area.left, 0), std::max(area.top, 0), std::min(area.right, screen.right),
                 std::min(area.bottom, screen.bottom)};
    if (visible.Width() > 0 && visible.Height() > 0) {
        XImage* image = api.XGetImage(d, root, visible.left, visible.top,
                                      static_cast<unsigned>(visible.Width()),
                                      static_cast<unsigned>(visible.Height()), AllPlanes, ZPixmap);
        if (image) {
            auto shiftOf = [](unsigned long mask) {
                int s = 0;
                while (mask && !(mask & 1)) {
                    mask >>= 1;
                    ++s;
                }
                return s;
            };
            auto scale = [](unsigned long value, unsigned long mask, int shift) -> std::uint32_t {
                unsigned long max = mask >> shift;
                return max ? static_cast<std::uint32_t>((value & mask) >> shift) * 255u /
                                 static_cast<std::uint32_t>(max)
                           : 0;
            };
            int rs = shiftOf(image->red_mask), gs = shiftOf(image->green_mask),
                bs = shiftOf(image->blue_mask);
            for (int y = 0; y < visible.Height(); ++y) {
                std::uint32_t* row = picture.pixels.data() +
                                     static_cast<std::size_t>(visible.top - area.top + y) *
                                         static_cast<std::size_t>(picture.width) +
                                     static_cast<std::size_t>(visible.left - area.left);
                for (int x = 0; x < visible.Width(); ++x) {
                    unsigned long p = XGetPixel(image, x, y);
                    row[x] = (scale(p, image->red_mask, rs) << 16) |
                             (scale(p, image->green_mask, gs) << 8) |
                             scale(p, image->blue_mask, bs);
                }
            }
            XDestroyImage(image);
        }
    }

    Window focus = static_cast<Window>(request.focusWindow);
    if (focus == None && request.markFocus) {
        int revert = 0;
        api.XGetInputFocus(d, &focus, &revert);
    }
    Rect focusRect;
    if (request.markFocus && focus != None && focus != PointerRoot && focus != root) {
        XWindowAttributes attributes{};
        int x = 0, y = 0;
        Window child = None;
        if (api.XGetWindowAttributes(d, focus, &attributes) &&
            api.XTranslateCoordinates(d, focus, root, 0, 0, &x, &y, &child)) {
            focusRect = {x - area.left, y - area.top, x - area.left + attributes.width,
                         y - area.top + attributes.height};
            DrawFrame(picture, focusRect);
        }
    }
    if (request.drawCursor) DrawCursor(api, d, picture, area);
    return picture;
}

std::uint64_t ActiveWindowOfProcess(int processId) {
    const XApi& api = Api();
    TDisplaySession session(api);
    Display* d = session.display();
    if (!d) return 0;
    Window root = DefaultRootWindow(d);
    std::vector<unsigned long> active, pids;
    if (!WindowProperty(api, d, root, api.XInternAtom(d, "_NET_ACTIVE_WINDOW", False), XA_WINDOW,
                        active) ||
        active[0] == None)
        return 0;
    if (!WindowProperty(api, d, static_cast<Window>(active[0]),
                        api.XInternAtom(d, "_NET_WM_PID", False), XA_CARDINAL, pids) ||
        static_cast<int>(pids[0]) != (processId ? processId : static_cast<int>(::getpid())))
        return 0;
    return active[0];
}

bool CaptureScreen(const TScreenshotRequest& request) {
    g_screenshot = CaptureScreenPicture(request);
    return !g_screenshot.Empty();
}

const TScreenPicture& CurrentScreenshot() {
    return g_screenshot;
}

void ReleaseScreenshot() {
    g_screenshot = TScreenPicture{};
}

bool WriteScreenshotPng(const std::string& fileName) {
    if (fileName.empty() || g_screenshot.Empty()) return false;
    std::vector<std::uint8_t> png = EncodePng(QuantizePicture(g_screenshot));
    int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < png.size()) {
        ssize_t n = ::write(fd, png.data() + done, png.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(fileName.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0;
}

}  // namespace crashlog
