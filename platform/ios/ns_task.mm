#include "platform/ns_task.h"

#import <Foundation/Foundation.h>
#include <sys/wait.h>

#include <cerrno>

#include "native_object.h"

// Foundation has NSTask on the phone but does not publish it.
@interface NSTask : NSObject
- (void)setLaunchPath:(NSString*)path;
- (void)setArguments:(NSArray*)arguments;
- (void)setStandardOutput:(::id)output;
- (void)launch;
- (int)processIdentifier;
- (int)terminationStatus;
@end

namespace platform {

NSTask::~NSTask() {
  if (pid_ > 0) waitUntilExit();
}

void NSTask::launch() {
  if (pid_ > 0) throw NSException("NSInvalidArgumentException", "task already launched");
  std::string failedName, failedReason;
  @autoreleasepool {
    ::NSTask* task = [[::NSTask alloc] init];
    [task setLaunchPath:toNSString(launchPath_)];
    NSMutableArray* arguments = [NSMutableArray array];
    for (const std::string& argument : arguments_) [arguments addObject:toNSString(argument)];
    [task setArguments:arguments];
    if (standardOutput_) {
      [task setStandardOutput:[[::NSFileHandle alloc]
                                  initWithFileDescriptor:standardOutput_->fileHandleForWriting()
                                                             .fileDescriptor()
                                          closeOnDealloc:NO]];
    }
    @try {
      [task launch];
      bindNative(*this, task);
      pid_ = 1;
    } @catch (::NSException* exception) {
      failedName = fromNSString(exception.name);
      failedReason = fromNSString(exception.reason);
    }
  }
  // The child has its own copy of the writing end; without closing ours, no end of file comes.
  if (standardOutput_) standardOutput_->fileHandleForWriting().closeFile();
  if (pid_ <= 0) throw NSException(failedName, failedReason);
}

void NSTask::waitUntilExit() {
  ::NSTask* task = nativeOf(this);
  if (pid_ <= 0 || task == nil) return;
  // -waitUntilExit spins the current run loop, and this runs inside a page's viewDidAppear:,
  // where other callbacks would run nested. The child is reaped directly; NSTask may have
  // reaped it already, and then its status is NSTask's.
  const pid_t pid = [task processIdentifier];
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } else {
    status_ = [task terminationStatus];
  }
  pid_ = -1;
}

}  // namespace platform
