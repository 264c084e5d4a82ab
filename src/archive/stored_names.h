#pragma once
// Which stored names may become output paths. Stored names come from the archive and are
// trusted only as far as these rules allow: a name must stay below the output folder and
// must not name anything but a file of its own.
#include <string>

namespace qv5 {

enum class NameRefusal {
    none,
    parentReference, // a component ".." (Windows: also dots and spaces only, two dots or more)
    notRelative,     // Windows: ':' could name a drive or a stream
    deviceName,      // Windows: CON, PRN, AUX, NUL, COM1-9, LPT1-9 (and COM¹-³, LPT¹-³), any extension
};

// What makes a name unusable on every system: a NUL, or a ".." component. A record name of
// the extension (strict) must also begin with a separator and have no "." or empty component
// after it, nor be the output folder itself.
enum class NameFault { none, nul, parentReference, dotOrEmpty, outputFolder, noLeadingSeparator };
NameFault faultOf(const std::string& name, bool strict);

// Components are split at '/' and '\'; windowsRules adds what the Windows file system makes
// of names (it drops trailing dots and spaces and keeps device names in every folder).
NameRefusal refusalOf(const std::string& name, bool windowsRules);

} // namespace qv5
