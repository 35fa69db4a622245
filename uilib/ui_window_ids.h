// Control identifiers of the stand-in's window, shared with the tests that drive it.
#pragma once

namespace tarnwell {

enum WindowControl : int {
    kInfoText = 1001,
    kReadLabel,
    kReadPath,
    kReadBrowse,
    kReadButton,
    kWriteLabel,
    kWritePath,
    kWriteBrowse,
    kWriteButton,
    kVerifyCheck,
    kProgressBar,
    kCancelButton,
    kStatusText,
    kBankLabel,
    kBankCombo,
    kBankButton,
    kDebugButton,
    kShortcutButton,
    kNameButton,
    kShortcutText,
};

}  // namespace tarnwell
