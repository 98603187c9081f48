#include "platform/message_ui.h"

#import <MessageUI/MessageUI.h>
#include <objc/runtime.h>

#include "native_bridge.h"
#include "native_object.h"

// Tells our composer's delegate how the person left the phone's composer.
@interface TonewellMailForwarder : NSObject <MFMailComposeViewControllerDelegate> {
 @public
  std::weak_ptr<platform::NSObject> _composer;
}
@end

@implementation TonewellMailForwarder

- (void)mailComposeController:(MFMailComposeViewController*)controller
          didFinishWithResult:(MFMailComposeResult)result
                        error:(NSError*)error {
  try {
    auto composer =
        std::dynamic_pointer_cast<platform::MFMailComposeViewController>(_composer.lock());
    if (!composer) {
      [controller dismissViewControllerAnimated:YES completion:nil];
      return;
    }
    const std::shared_ptr<platform::NSError> failure = platform::fromNSError(error);
    platform::NativeBridge::finishMail(*composer, static_cast<int>(result), failure.get());
  } catch (...) {
  }
}

@end

namespace platform {

namespace {
const char kMailForwarderKey = 0;
}

bool MFMailComposeViewController::canSendMail() {
  return [::MFMailComposeViewController canSendMail];
}

::UIViewController* makeNativeComposer(MFMailComposeViewController& composer) {
  if (![::MFMailComposeViewController canSendMail]) return nil;
  ::MFMailComposeViewController* native = [[::MFMailComposeViewController alloc] init];
  if (native == nil) return nil;
  [native setSubject:toNSString(composer.subject())];
  [native setMessageBody:toNSString(composer.body()) isHTML:composer.bodyIsHTML()];
  NSMutableArray* recipients = [NSMutableArray array];
  for (const std::string& to : composer.toRecipients()) [recipients addObject:toNSString(to)];
  [native setToRecipients:recipients];
  for (const MailAttachment& attachment : composer.attachments()) {
    [native addAttachmentData:[NSData dataWithBytes:attachment.data.data()
                                             length:attachment.data.size()]
                     mimeType:toNSString(attachment.mimeType)
                     fileName:toNSString(attachment.fileName)];
  }
  TonewellMailForwarder* forwarder = [[TonewellMailForwarder alloc] init];
  forwarder->_composer = composer.weak_from_this();
  objc_setAssociatedObject(native, &kMailForwarderKey, forwarder, OBJC_ASSOCIATION_RETAIN);
  native.mailComposeDelegate = forwarder;
  bindNative(composer, native);
  return native;
}

void NativeBridge::finishMail(MFMailComposeViewController& composer, int result,
                              const NSError* error) {
  if (composer.finished_) return;
  composer.finished_ = true;
  if (composer.delegate_) {
    composer.delegate_->mailComposeControllerDidFinishWithResultError(&composer, result, error);
  }
}

// On the phone the person chooses in the system's composer, which sends or saves the message.
void MFMailComposeViewController::personChose(MFMailComposeResult choice) {
  NativeBridge::finishMail(*this, choice, nullptr);
}

std::string MFMailComposeViewController::messageText() const {
  return std::string();  // the system's composer writes the message; it is not ours to see
}

}  // namespace platform
