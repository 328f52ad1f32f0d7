// The host's commands. Each takes the arguments after its own name and returns the
// process exit status.
#pragma once

int info_command(int argc, char** argv);
int render_command(int argc, char** argv);
int edit_command(int argc, char** argv);
