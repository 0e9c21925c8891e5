// ksm_viewer_headless: the viewer built without a window, for machines with
// no display server. It takes the viewer's command line and runs only
// headless (--headless), pictures and movies included; it links no X
// library.
#include "viewer_args.h"
#include "viewer_run.h"

int main(int argc, char** argv)
{
    ViewerArgs args = parse_viewer_args(argc, argv);
    int answered = answer_viewer_command(args);
    if (answered >= 0)
        return answered;
    if (!args.headless) {
        print_viewer_usage_error(stderr, "this build has no window: run it with --headless");
        return VIEWER_EXIT_USAGE;
    }
    return run_headless(args);
}
