// The launcher: started once by the root filesystem after the kernel is up.
// Arguments are accepted and ignored; it never returns.
#include "launch/launch.h"

int main()
{
	launcher_main();
}
