// Virtual time for the code under test: while a harness runs it (between
// begin_virtual_time and end_virtual_time, on the fuzzing thread only),
// its sleep and usleep calls do what the harness says a second or a short
// wait stands for, and return at once.  The fuzzer's own threads, and the
// harness outside a run, sleep for real.  Included by one file of a
// harness, which defines the two hooks.
#pragma once

#include <cerrno>
#include <ctime>
#include <unistd.h>

// What a sleep of whole seconds / of less stands for, in virtual time.
void virtual_sleep(unsigned int seconds);
void virtual_usleep(useconds_t us);

namespace {

thread_local bool virtual_time;

void begin_virtual_time()
{
	virtual_time = true;
}

void end_virtual_time()
{
	virtual_time = false;
}

void real_sleep(time_t seconds, long nanoseconds)
{
	struct timespec t = {seconds, nanoseconds};
	while (nanosleep(&t, &t) != 0 && errno == EINTR)
		;
}

} // namespace

extern "C" int usleep(useconds_t us)
{
	if (virtual_time)
		virtual_usleep(us);
	else
		real_sleep(us / 1000000, (long)(us % 1000000) * 1000);
	return 0;
}

extern "C" unsigned int sleep(unsigned int seconds)
{
	if (virtual_time)
		virtual_sleep(seconds);
	else
		real_sleep(seconds, 0);
	return 0;
}
