// The console the program runs in, and what the process is handed with it: its standard
// descriptors and its signals.
#pragma once

/// Waits for a key press on a console; does nothing without one.
void pause_console();
/// Clears a console screen; does nothing without one.
void clear_console();

/// Opens each of descriptors 0 to 2 that is closed on the null device, before any other file:
/// false (errno set) when it cannot.
bool open_standard_descriptors();

/// Makes a write beyond the file size limit fail (EFBIG) rather than kill the process; cannot fail.
void ignore_file_size_signal();
/// Holds every signal but those a fault raises (on Windows Ctrl-C and Ctrl-Break) until
/// release_signals(); cannot fail.
void hold_signals();
/// Ends hold_signals(): a signal that came meanwhile takes effect now, as it would have then.
void release_signals();
