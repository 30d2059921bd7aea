#pragma once

namespace tavrel {

// Opens /dev/null as each of standard input, output and error that the program was started
// without (a service manager or cron may close them). Called first thing in main, before anything
// else opens a file: otherwise the next file opened would become, say, standard output, and
// whatever the program prints would land in it.
void OpenClosedStandardDescriptors();

}  // namespace tavrel
