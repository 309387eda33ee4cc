#pragma once

#include <functional>

// Sounds a tone of `frequency` Hz for `durationMs` ms where the machine can:
// the PC speaker through its evdev device, else a sine on ALSA's default
// device, else nothing. Never throws, never prints; returns after the tone.
void Beep(int frequency, int durationMs);

// Tests observe beeps through a hook. It sees every request first; when it
// returns true it has taken the beep and no tone is sounded.
using BeepHook = std::function<bool(int frequency, int durationMs)>;
void SetBeepHook(BeepHook hook);
