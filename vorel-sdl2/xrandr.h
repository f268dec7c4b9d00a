// Display brightness, gamma and output configuration over X RandR.
//
// A host sets what it wants with SetDisplayBrightness / SetDisplayGamma and
// pushes it to one output (by name, RandR XID or position) or to the first n
// outputs with the ApplyDisplayChanges* functions. The class XRANDR also
// takes a full xrandr-style argument vector through main_xrandr, which is
// what the command-line tool in examples/ uses.
//
// Each call opens its own connection to the X server (DISPLAY, or -display),
// runs to completion and closes it again. An XRANDR object keeps nothing of
// a run: every entry point (main_xrandr, apply_xrandr_call and so
// set_gamma_internal) starts from the initial run state and leaves the
// object in it, apart from the output records the caller added itself.
//
// Threads: the six functions, main_xrandr and apply_xrandr_call may be
// called from any thread at any time. They take one process-wide lock, so
// runs happen one after the other (a slow brightness change in one
// asynchronous action makes another wait, it does not disturb it). The
// other members of an object are for the thread that owns it.
//
// Failure: nothing here ends the process. X protocol errors on the run's
// connection are trapped and turn the result into 1; when the server goes
// away during a call (a display-manager restart, a crash), that call returns
// 1 and the next call connects afresh. Every path releases the server grab,
// frees what it allocated and closes its connection. Results: 0 on success
// (including warnings such as an output that does not exist), 1 when no
// display or no usable RandR is there, on a usage error, or on a failure.
// Numbers are read and printed in the "C" locale whatever the process uses.
//
// Including this header brings in Xlib and the RandR headers with their
// macros; include it only in the units that call it.
#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <string>
#include <vector>

// Settings applied by the ApplyDisplayChanges* functions.
extern float brightness_;   // 0..1, initial 1.0
extern float gamma_[3];     // red, green, blue; initial 1.0 each

// Store the settings; non-finite values are ignored (the call changes nothing).
// Safe from any thread; a host that writes the variables directly is not.
void SetDisplayBrightness(float brightness);
void SetDisplayGamma(float r, float g, float b);

// Apply brightness_ and gamma_ to one output; 1 without display or RandR 1.2.
int ApplyDisplayChanges(const char* outputName);
int ApplyDisplayChangesToXID(unsigned long XID);
int ApplyDisplayChangesToIndex(int index);
// Outputs 0 .. numDisplays-1 in one run; outputs that do not exist are skipped.
int ApplyDisplayChangesToAll(int numDisplays);

// The command set's own usage, fatal, warning, rotation_name,
// reflection_name and capability_name are internal (xrandrInternal.h): a
// host's functions of those names neither replace them nor clash.

enum _name_kind {
    name_none = 0,
    name_string = (1 << 0),
    name_xid = (1 << 1),
    name_index = (1 << 2),
    name_preferred = (1 << 3),
};

struct name_t {
    int kind = name_none;
    std::string string;
    XID xid = 0;
    int index = 0;
};

enum _changes {
    changes_none = 0,
    changes_crtc = (1 << 0),
    changes_mode = (1 << 1),
    changes_relation = (1 << 2),
    changes_position = (1 << 3),
    changes_rotation = (1 << 4),
    changes_reflection = (1 << 5),
    changes_automatic = (1 << 6),
    changes_refresh = (1 << 7),
    changes_property = (1 << 8),
    changes_transform = (1 << 9),
    changes_panning = (1 << 10),
    changes_gamma = (1 << 11),
    changes_primary = (1 << 12),
};

enum _relation {
    relation_left_of = 0,
    relation_right_of = 1,
    relation_above = 2,
    relation_below = 3,
    relation_same_as = 4,
};

enum _umode_action {
    umode_create = 0,
    umode_destroy = 1,
    umode_add = 2,
    umode_delete = 3,
};

struct transform_t {
    XTransform transform{};
    std::string filter;
    std::vector<XFixed> params;
};

struct output_t;

struct crtc_t {
    name_t crtc;
    bool changing = false;
    XRRCrtcInfo* crtc_info = nullptr;   // as probed
    XRRModeInfo* mode_info = nullptr;   // new mode (null: off)
    XRRPanning* panning_info = nullptr; // as probed (RandR 1.3)
    int x = 0, y = 0;
    Rotation rotation = RR_Rotate_0;
    std::vector<output_t*> outputs;     // new outputs
    transform_t current_transform;
    transform_t pending_transform;
};

struct output_prop_t {
    std::string name;
    std::string value;
};

struct output_t {
    output_t* next = nullptr;
    int changes = changes_none;
    std::vector<output_prop_t> props;
    name_t output;
    XRROutputInfo* output_info = nullptr;
    name_t crtc;
    crtc_t* crtc_info = nullptr;          // new CRTC
    crtc_t* current_crtc_info = nullptr;  // CRTC at probe time
    name_t mode;
    double refresh = 0.0;
    XRRModeInfo* mode_info = nullptr;
    name_t addmode;
    int relation = relation_left_of;
    char* relative_to = nullptr;
    int x = 0, y = 0;
    Rotation rotation = RR_Rotate_0;
    XRRPanning panning{};
    bool automatic = false;
    int scale_from_w = 0, scale_from_h = 0;
    transform_t transform;
    struct {
        float red = 0.0f, green = 0.0f, blue = 0.0f;
    } gamma;
    float brightness = 1.0f;
    bool primary = false;
    bool found = false;
    bool optional = false;                // absent output is no warning
    std::string relative_name;            // storage behind relative_to
};

struct umode_t {
    int action = umode_create;
    XRRModeInfo mode{};
    std::string mode_name;                // storage behind mode.name
    name_t output;
    name_t name;
};

class XRANDR {
public:
    XRANDR();
    ~XRANDR();
    XRANDR(const XRANDR&) = delete;
    XRANDR& operator=(const XRANDR&) = delete;

    // The xrandr command line; 0 on success, 1 on a usage error or failure.
    // Starts from and returns to the initial run state, output list empty.
    int main_xrandr(int argc, char** argv);

    // Stores clamped brightness and gamma in the record, marks it, applies.
    int set_gamma_internal(output_t* output, float brightness, float r, float g, float b);
    // One run against the default display for the records in the list. The
    // fields set before the call count for this run only; afterwards the
    // object is in the initial run state and the records are as they were.
    int apply_xrandr_call();

    output_t* add_output();
    output_t* find_output(name_t* name);
    output_t* find_output_by_name(char* name);
    output_t* find_output_by_xid(RROutput output);

    static void init_name(name_t* name);
    static void set_name_string(name_t* name, const char* string);
    static void set_name_xid(name_t* name, XID xid);
    static void set_name_index(name_t* name, int index);
    static void set_name_preferred(name_t* name);
    static void set_name_all(name_t* name, name_t* old);
    // Parses string as the kinds in valid; false when none applies.
    static bool set_name(name_t* name, const char* string, int valid);
    static bool names_match(const name_t* a, const name_t* b);

    // The gamma table for one channel set: true when written. Power-of-two
    // sizes keep the classic 8-bit-shifted values, other sizes span 0..65535;
    // sizes below 2 or above 65536 are refused.
    static bool gamma_ramp(int size, float brightness, float red, float green, float blue,
                           unsigned short* r, unsigned short* g, unsigned short* b);

    // State of one run, in declaration order.
    char* program_name = nullptr;
    Display* dpy = nullptr;
    Window root = 0;
    int screen = -1;
    int verbose = 0;
    int automatic = 0;
    int properties = 0;
    int providers = 0;
    int grab_server = 1;
    int no_primary = 0;
    output_t* outputs = nullptr;
    output_t** outputs_tail = &outputs;
    std::vector<crtc_t> crtcs;
    std::vector<umode_t> umodes;
    int num_crtcs = 0;
    XRRScreenResources* res = nullptr;
    int fb_width = 0, fb_height = 0, fb_width_mm = 0, fb_height_mm = 0;
    double dpi = 0.0;
    char* dpi_output = nullptr;
    int dryrun = 0;
    int minWidth = 0, maxWidth = 0, minHeight = 0, maxHeight = 0;
    int has_1_2 = 0, has_1_3 = 0;
    int provider_xid = 0, output_source_provider_xid = 0, offload_sink_provider_xid = 0;

    // The apply sequence, in order.
    int get_screen(bool current);
    int get_crtcs();
    int get_outputs();
    int set_output_info(output_t* output, RROutput xid, XRROutputInfo* output_info);
    void merge_output(output_t* into, output_t* from);
    int resolve_mode(output_t* output);
    int resolve_geometry(output_t* output);
    int set_positions();
    output_t* find_relative(const char* name);
    int cannot_find_output(const char* name);
    int set_screen_size();
    int pick_crtcs();
    void mark_changing_crtcs();
    void set_physical_size();
    double screen_dpi();
    int set_gamma();
    int apply();

    // Helpers of the sequence and of the command line.
    XRRModeInfo* find_mode(name_t* name, double refresh);
    XRRModeInfo* find_mode_by_xid(RRMode mode);
    XRRModeInfo* find_mode_by_name(const char* name);
    XRRModeInfo* find_mode_for_output(output_t* output, name_t* name);
    XRRModeInfo* preferred_mode(output_t* output);
    crtc_t* find_crtc(name_t* name);
    crtc_t* find_crtc_by_xid(RRCrtc crtc);
    bool output_can_use_crtc(output_t* output, crtc_t* crtc);
    bool output_can_use_mode(output_t* output, XRRModeInfo* mode);
    void mode_geometry(XRRModeInfo* mode, Rotation rotation, const XTransform* transform,
                       int* x, int* y, int* w, int* h);
    int apply_umodes();
    int set_output_properties(output_t* output);
    int crtc_disable(crtc_t* crtc);
    int crtc_apply(crtc_t* crtc);
    void crtc_revert(crtc_t* crtc);
    void revert();
    int query_1_2();
    void print_output_line(output_t* output, RROutput primary);
    void print_output_details(output_t* output);
    void print_output_modes(output_t* output);
    int run_1_1(bool query);
    void print_output_properties(output_t* output);
    int list_providers();
    int set_providers();

private:
    // Command-line options kept between parsing and running.
    struct TOptions {
        std::string program_name;   // storage behind program_name
        std::string display_name;
        bool has_display_name = false;
        bool query = false, query_1 = false, version = false, current = false;
        bool set_1_1 = false, set_1_2 = false;
        bool set_output_source = false, set_offload_sink = false;
        int size = -1;              // index, -1 none, -2 by size_w x size_h
        int size_w = 0, size_h = 0;
        double rate = -1.0;
        int rotation = -1;          // RR_Rotate_* or -1
        int reflection = 0;         // RR_Reflect_* bits
        bool reflection_set = false;
        std::string dpi_output;     // storage behind dpi_output
    };
    TOptions mOpts;
    int mXErrors = 0;
    bool mLost = false;             // the connection broke during the run
    int mMajor = 0, mMinor = 0;
    bool mGrabbed = false;
    bool mSizeChanged = false;
    int mOldWidth = 0, mOldHeight = 0, mOldWidthMM = 0, mOldHeightMM = 0;

    void reset();
    void reset_run_state();
    void release();
    void clear_outputs();
    struct TArgCursor;
    static constexpr int kNotAnOutputOption = -1;
    int parse_args(int argc, char** argv);
    int parse_output_option(TArgCursor& args, output_t* cur);
    int parse_global_option(TArgCursor& args, output_t** cur);
    int parse_mode_option(TArgCursor& args);
    int parse_newmode(TArgCursor& args);
    int open_and_check(const char* display_name);
    int run_sequence();
    int finish(int rc);
};
