/* A JACK client for the LV2 tempo test. It is the transport's timebase master at a fixed tempo,
 * rolling or stopped (or no master at all), connects the given output port to
 * its input and records the first and last sample of that many blocks, then prints one line per
 * block: "<first> <last>", each times 1000. It takes the timebase, and starts the transport when
 * rolling, once the plug-in runs; the recording starts there too. It says "tempo-master: ready"
 * on stderr once the server has it as a client.
 *
 *   tempo-master <bpm|none> <rolling|stopped> <source port> <blocks> <seconds to wait at most>
 *
 * Exits 0 once the blocks are recorded, 1 on a time-out, 2 on bad arguments or no server. */
#include <jack/jack.h>
#include <jack/transport.h>

#include <math.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static jack_port_t* input;
static double tempo;
static int wanted;
static float* firsts;
static float* lasts;
static atomic_int heard;
static atomic_int armed;
static atomic_int recorded;

static int process (jack_nframes_t frames, void* arg)
{
    (void) arg;
    if (frames == 0 || jack_port_connected (input) == 0)
        return 0;

    const float* samples = jack_port_get_buffer (input, frames);
    if (samples[0] != 0.0f)
        atomic_store (&heard, 1);

    const int i = atomic_load (&recorded);
    if (atomic_load (&armed) && i < wanted)
    {
        firsts[i] = samples[0];
        lasts[i] = samples[frames - 1];
        atomic_store (&recorded, i + 1);
    }
    return 0;
}

static void timebase (jack_transport_state_t state, jack_nframes_t frames, jack_position_t* pos, int newPos, void* arg)
{
    (void) state, (void) frames, (void) newPos, (void) arg;
    const double beats = (double) pos->frame / pos->frame_rate * tempo / 60.0;
    pos->valid = JackPositionBBT;
    pos->beats_per_bar = 4.0f;
    pos->beat_type = 4.0f;
    pos->ticks_per_beat = 1920.0;
    pos->beats_per_minute = tempo;
    pos->bar = (int32_t) (beats / 4.0) + 1;
    pos->beat = (int32_t) fmod (beats, 4.0) + 1;
    pos->tick = (int32_t) (fmod (beats, 1.0) * 1920.0);
    pos->bar_start_tick = (pos->bar - 1) * 4.0 * 1920.0;
}

static double now (void)
{
    struct timespec t;
    clock_gettime (CLOCK_MONOTONIC, &t);
    return (double) t.tv_sec + (double) t.tv_nsec / 1e9;
}

static void pause10ms (void)
{
    const struct timespec t = { 0, 10000000 };
    nanosleep (&t, NULL);
}

int main (int argc, char** argv)
{
    if (argc != 6)
    {
        fprintf (stderr, "usage: %s <bpm|none> <rolling|stopped> <source port> <blocks> <seconds>\n", argv[0]);
        return 2;
    }
    const int master = strcmp (argv[1], "none") != 0;
    const int rolling = strcmp (argv[2], "rolling") == 0;
    tempo = atof (argv[1]);
    wanted = atoi (argv[4]);
    const double deadline = now() + atof (argv[5]);
    if ((master && ! (tempo > 0.0)) || wanted <= 0)
        return 2;
    firsts = calloc ((size_t) wanted, sizeof (float));
    lasts = calloc ((size_t) wanted, sizeof (float));

    // The server may still be starting.
    jack_status_t status;
    jack_client_t* client;
    while ((client = jack_client_open ("tempo_master", JackNoStartServer, &status)) == NULL)
    {
        if (now() > deadline)
        {
            fprintf (stderr, "tempo-master: no JACK server (status 0x%x)\n", (unsigned) status);
            return 2;
        }
        pause10ms();
    }
    input = jack_port_register (client, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback (client, process, NULL);
    if (input == NULL || jack_activate (client) != 0)
        return 2;
    fprintf (stderr, "tempo-master: ready\n");

    const char* destination = jack_port_name (input);
    while (jack_port_by_name (client, argv[3]) == NULL || jack_connect (client, argv[3], destination) != 0)
    {
        if (now() > deadline)
        {
            fprintf (stderr, "tempo-master: %s never appeared\n", argv[3]);
            jack_client_close (client);
            return 1;
        }
        pause10ms();
    }

    // The transport changes only once the host runs the plug-in (the test build's output is never
    // exact silence), so the positions it sends for the change reach the plug-in.
    while (! atomic_load (&heard))
    {
        if (now() > deadline)
        {
            fprintf (stderr, "tempo-master: the plug-in never ran\n");
            jack_client_close (client);
            return 1;
        }
        pause10ms();
    }
    if (master && jack_set_timebase_callback (client, 0, timebase, NULL) != 0)
    {
        jack_client_close (client);
        return 2;
    }
    if (master && rolling)
        jack_transport_start (client);
    atomic_store (&armed, 1);

    while (atomic_load (&recorded) < wanted && now() < deadline)
        pause10ms();
    jack_client_close (client);

    const int got = atomic_load (&recorded);
    for (int i = 0; i < got; ++i)
        printf ("%.4f %.4f\n", firsts[i] * 1000.0, lasts[i] * 1000.0);
    if (got < wanted)
    {
        fprintf (stderr, "tempo-master: %d of %d blocks before the time-out\n", got, wanted);
        return 1;
    }
    return 0;
}
