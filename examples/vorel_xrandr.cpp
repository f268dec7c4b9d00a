// Operator tool: the display configuration command set of the framework on
// the command line, e.g. "vorel-xrandr --output HDMI-1 --brightness 0.8".
#include "xrandr.h"

int main(int argc, char** argv)
{
    XRANDR x;
    return x.main_xrandr(argc, argv);
}
