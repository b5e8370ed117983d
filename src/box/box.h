// The few calls the show makes of the box it runs on.
//
// The show reaches devices, files and time only through these functions. They keep
// the kernel's own shapes: descriptors, ioctl requests with the real request numbers
// and structures (<linux/fb.h>, <sys/soundcard.h>), stdio streams for the console and
// the box's files. One back end passes them straight to the kernel (the box program);
// the other emulates the box in process (demo-play and the tests). Which one is used
// is decided at link time.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <sys/time.h>
#include <sys/types.h>

namespace box {

int open(const char* path, int flags);
int close(int fd);
int ioctl(int fd, unsigned long request, void* arg);
void* mmap(std::size_t length, int prot, int flags, int fd, off_t offset);
ssize_t write(int fd, const void* buf, std::size_t count);

// Opens a file of the box (an absolute path there), or the console "/dev/tty0".
std::FILE* fopen(const char* path, const char* mode);

int gettimeofday(struct timeval* tv);
int usleep(unsigned int usec);
std::time_t time(std::time_t* t);

// A request to stop the show (a signal on the box, the viewer closing the window in
// demo-play) is delivered synchronously from inside one of the calls above, never in
// the middle of the show's own code, and only once: the handler is expected not to
// return, and later requests (or the handler's own box calls) find no handler.
// on_stop(nullptr) stops delivering.
using StopHandler = void (*)(int signal);
void on_stop(StopHandler handler);

}  // namespace box
