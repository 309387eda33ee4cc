#include "beep.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifdef TESMORA_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

namespace {

BeepHook& Hook()
{
    static BeepHook hook;
    return hook;
}

bool HasToneCapability(int fd)
{
    unsigned long evBits = 0;
    if (ioctl(fd, EVIOCGBIT(0, sizeof(evBits)), &evBits) < 0)
        return false;
    if (!(evBits & (1UL << EV_SND)))
        return false;
    unsigned long sndBits = 0;
    if (ioctl(fd, EVIOCGBIT(EV_SND, sizeof(sndBits)), &sndBits) < 0)
        return false;
    return (sndBits & (1UL << SND_TONE)) != 0;
}

// The first input device that can sound a tone, opened for writing, or -1.
int OpenSpeaker()
{
    DIR* dir = opendir("/dev/input");
    if (!dir)
        return -1;
    int found = -1;
    while (dirent* e = readdir(dir)) {
        if (std::strncmp(e->d_name, "event", 5) != 0)
            continue;
        std::string path = std::string("/dev/input/") + e->d_name;
        int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        if (HasToneCapability(fd)) {
            found = fd;
            break;
        }
        close(fd);
    }
    closedir(dir);
    return found;
}

bool SendTone(int fd, int frequency)
{
    input_event ev{};
    ev.type = EV_SND;
    ev.code = SND_TONE;
    ev.value = frequency;
    return write(fd, &ev, sizeof(ev)) == static_cast<ssize_t>(sizeof(ev));
}

bool SpeakerBeep(int frequency, int durationMs)
{
    int fd = OpenSpeaker();
    if (fd < 0)
        return false;
    bool ok = SendTone(fd, frequency);
    if (ok)
        std::this_thread::sleep_for(std::chrono::milliseconds(durationMs));
    SendTone(fd, 0);
    close(fd);
    return ok;
}

#ifdef TESMORA_HAVE_ALSA
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

bool AlsaBeep(int frequency, int durationMs)
{
    static bool quiet = (snd_lib_error_set_handler(&SilentAlsaError), true);
    (void)quiet;
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
        return false;
    constexpr unsigned rate = 44100;
    bool ok = snd_pcm_nonblock(pcm, 0) == 0 &&
              snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, rate,
                                 1, 100000) == 0;
    if (ok) {
        size_t frames = static_cast<size_t>(rate) * static_cast<size_t>(durationMs) / 1000;
        std::vector<int16_t> samples(frames);
        const double step = 2.0 * M_PI * frequency / rate;
        for (size_t i = 0; i < frames; ++i)
            samples[i] = static_cast<int16_t>(std::sin(step * static_cast<double>(i)) * 12000.0);
        size_t done = 0;
        while (ok && done < frames) {
            snd_pcm_sframes_t n = snd_pcm_writei(pcm, samples.data() + done, frames - done);
            if (n < 0)
                n = snd_pcm_recover(pcm, static_cast<int>(n), 1);
            if (n < 0)
                ok = false;
            else
                done += static_cast<size_t>(n);
        }
        if (ok)
            snd_pcm_drain(pcm);
    }
    snd_pcm_close(pcm);
    return ok;
}
#endif

} // namespace

void SetBeepHook(BeepHook hook)
{
    Hook() = std::move(hook);
}

void Beep(int frequency, int durationMs)
{
    try {
        if (Hook() && Hook()(frequency, durationMs))
            return;
        if (frequency <= 0 || durationMs <= 0)
            return;
        if (SpeakerBeep(frequency, durationMs))
            return;
#ifdef TESMORA_HAVE_ALSA
        AlsaBeep(frequency, durationMs);
#endif
    } catch (...) {
        // A beep is never worth an error.
    }
}
