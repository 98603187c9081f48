#include "platform/celestial.h"

#import <Foundation/Foundation.h>

#include "native_object.h"

// The system's volume controller, from the private framework Celestial.
@interface AVSystemController : NSObject
+ (instancetype)sharedAVSystemController;
- (BOOL)getVolume:(float*)volume forCategory:(NSString*)category;
- (BOOL)setVolumeTo:(float)volume forCategory:(NSString*)category;
@end

namespace platform {

bool AVSystemController::getVolumeForCategory(float* volume, std::string_view category) noexcept {
  if (volume == nullptr) return false;
  @autoreleasepool {
    ::AVSystemController* system = [::AVSystemController sharedAVSystemController];
    float read = 0;
    if (system == nil || ![system getVolume:&read forCategory:toNSString(category)]) return false;
    *volume = read;
    return true;
  }
}

bool AVSystemController::setVolumeToForCategory(float volume, std::string_view category) noexcept {
  float clamped = 0;
  if (!settable(volume, &clamped)) return false;
  @autoreleasepool {
    ::AVSystemController* system = [::AVSystemController sharedAVSystemController];
    return system != nil && [system setVolumeTo:clamped forCategory:toNSString(category)];
  }
}

}  // namespace platform
