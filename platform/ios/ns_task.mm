#include "platform/ns_task.h"

#import <Foundation/Foundation.h>

#include "native_object.h"

// Foundation has NSTask on the phone but does not publish it.
@interface NSTask : NSObject
- (void)setLaunchPath:(NSString*)path;
- (void)setArguments:(NSArray*)arguments;
- (void)setStandardOutput:(::id)output;
- (void)launch;
- (void)waitUntilExit;
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
  [task waitUntilExit];
  status_ = [task terminationStatus];
  pid_ = -1;
}

}  // namespace platform
