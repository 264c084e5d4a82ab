#pragma once
// Where extraction puts things. The output folder is held open, and every folder, file and
// link below it is reached from it one stored component at a time, never through a link;
// modes and times are set through handles of what this extraction made. Nothing else in
// extraction creates, removes or changes an entry: no check of a path made before its use
// can be raced or bypassed, because no path is ever handed to the system as a whole.
#include "platform/platform.h"
#include "qv5/qv5.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qv5 {

// A stored name as the walk takes it: split at '/' and '\', empty and "." components
// dropped.
struct OutputName {
    std::vector<std::string> components;
    // The first count components (all by default) joined by '/': one spelling per place (on
    // Windows the spelling the file system compares, see comparableName).
    std::string key(size_t count = size_t(-1)) const;
};
// False when nothing is left or a component is one the walk never takes ("..", a NUL).
bool splitOutputName(const std::string& name, OutputName& out);

struct OutputTree {
    std::string rootPath;    // the output folder as the caller named it (empty: the current one)
    bool createRoot = false; // made, with its parents, when missing
    bool rootTried = false;
    HeldFolderPtr root;
    // The folders held below the root, outermost first: the chain of the last walk, kept
    // while the next names lie in the same folders (on Windows also what pins them).
    std::vector<std::string> chainNames;
    std::vector<HeldFolderPtr> chain;
    // Folders this extraction made, by key, with their identities.
    std::map<std::string, FileIdentity> createdFolders;
    // Files and folders are made for their owner alone (their modes are not known yet).
    bool ownerOnly = false;
};

enum class Walk { reached, missing, link, failed };

// Holds the folder of the first count components of name (the root for 0), making what is
// missing when create is set; stops at a link (link), at what is missing (missing) or at
// anything else that is not a folder (failed).
Walk walkTo(OutputTree& tree, const OutputName& name, size_t count, bool create, const HeldFolder*& folder);

// An output file at name, whose folders are made: created exclusively; when something stands
// there, mayReplace (given what it leads to) decides, then a regular file is truncated (one
// with other names, or any when the tree makes things owner-only, replaced) and anything else
// removed (never what a link leads to) and the file created. shownPath names the file in errors, which carry failure's code and the
// system's reason.
Error openOutputFile(OutputTree& tree, const OutputName& name, const std::string& shownPath, ErrorCode failure,
                     bool createFolders, const std::function<Error(const FileIdentity& followed)>& mayReplace,
                     FILE*& file, FileIdentity& identity);

// What stands at name now, the entry itself (missing when the way there is not a folder).
EntryState outputState(OutputTree& tree, const OutputName& name);

// The file this extraction wrote at name, for reading; null when another stands there (any
// regular file will do when written is not valid).
FILE* readOutputFile(OutputTree& tree, const OutputName& name, const FileIdentity& written);

// Removes the file this extraction wrote at name (written), when it still stands there: what
// was written of a file whose bytes will not all come.
void removeOutputFile(OutputTree& tree, const OutputName& name, const FileIdentity& written);

// The folders of all of name, made where missing; outputThroughLink at a link (the error's
// subject is shownPath), false-y Error and made false when the folder could not be made
// (refusal says why).
Error makeOutputFolder(OutputTree& tree, const OutputName& name, const std::string& shownPath, bool& made,
                       std::string& refusal);

// A symbolic link at name: what stands there is asked about through mayReplace and removed
// (a folder is not); made tells whether the link stands now, refusal why not.
Error makeOutputLink(OutputTree& tree, const OutputName& name, const std::string& shownPath, const LinkRecord& link,
                     const std::function<Error(const FileIdentity& followed)>& mayReplace, bool& made,
                     std::string& refusal);

// A FIFO or device node at name: what stands there is asked about through mayReplace and
// removed (a folder is not); identity is what was made (invalid: nothing, refusal says why).
Error makeOutputSpecial(OutputTree& tree, const OutputName& name, const std::string& shownPath,
                        const SpecialRecord& special,
                        const std::function<Error(const FileIdentity& followed)>& mayReplace, FileIdentity& identity,
                        std::string& refusal);

// A second name at name for the file this extraction wrote at target (written): a hard link,
// made only to that very file and never through a link. What stands at name is asked about
// and removed first. made tells whether the link stands now, refusal why not.
Error makeOutputHardLink(OutputTree& tree, const OutputName& name, const std::string& shownPath,
                         const OutputName& target, const FileIdentity& written,
                         const std::function<Error(const FileIdentity& followed)>& mayReplace, bool& made,
                         std::string& refusal);

// The plan applied to what this extraction made at name: the file or special file it made
// (written), a folder it made (one that stood there before only with existingToo, held as
// itself), the link itself; false members for what the system refused, with its reasons.
Restored restoreOutputFile(OutputTree& tree, const OutputName& name, const FileIdentity& written,
                           const RestorePlan& plan);
Restored restoreOutputFolder(OutputTree& tree, const OutputName& name, const RestorePlan& plan, bool existingToo);
Restored restoreOutputLink(OutputTree& tree, const OutputName& name, const RestorePlan& plan);

} // namespace qv5
