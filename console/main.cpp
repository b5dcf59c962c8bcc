// Halvane menu creator: builds the launcher's games.ini and apps.ini from a
// numbered console menu. It takes no arguments and reads no environment.
#include "console/menu_loop.h"

int main() { return runMenuLoop(); }
