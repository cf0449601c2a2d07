#pragma once

namespace kestrune
{

// Parses the command line and runs the server or an admin command; returns the exit code.
int runCommandLine(int argc, char** argv);

} // namespace kestrune
