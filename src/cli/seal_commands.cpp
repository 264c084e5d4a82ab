#include "cli/seal_commands.h"

#include "console/console.h"
#include "console/format.h"
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

namespace qv5 {

namespace {

// The first line of a small file (a passphrase or a key), its line end left off.
bool readFirstLine(const std::string& path, std::string& line)
{
    line.clear();
    FILE* file = openRead(path);
    if (!file) return false;
    char buffer[4096];
    size_t got = 0;
    bool ended = false;
    while (!ended && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        for (size_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                ended = true;
                break;
            }
            line += buffer[i];
        }
        if (line.size() > 65536) break; // no passphrase or key is this long
    }
    wipe(buffer, sizeof buffer);
    std::fclose(file);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

bool passphraseFrom(const RunOptions& options, bool twice, Passphrase& passphrase)
{
    if (!options.passwordFile.empty()) {
        if (!readFirstLine(options.passwordFile, passphrase.text)) {
            tell("Error opening %s\n", printable(options.passwordFile).c_str());
            tellReason(options.passwordFile, lastFailureReason());
            return false;
        }
    } else {
        if (!readSecretLine("Passphrase: ", passphrase.text)) {
            tell("Error: no terminal to ask the passphrase on; give -password-file=PATH\n");
            return false;
        }
        if (twice) {
            Passphrase again;
            if (!readSecretLine("Passphrase again: ", again.text) || again.text != passphrase.text) {
                tell("Error: the passphrases differ\n");
                return false;
            }
        }
    }
    if (passphrase.text.empty()) {
        tell("Error: the passphrase is empty\n");
        return false;
    }
    return true;
}

// Tests only: header randomness fixed by a seed, and a cheap passphrase cost, so that tests
// can compare archives byte for byte and run quickly.
void applyTestSettings(SealKeys& keys)
{
    if (const char* cost = std::getenv("QV5_TEST_SEAL_COST")) {
        unsigned passes = 0, memory = 0;
        if (std::sscanf(cost, "%u,%u", &passes, &memory) == 2) {
            keys.passes = passes;
            keys.memoryKiB = memory;
        }
    }
    if (const char* seed = std::getenv("QV5_TEST_SEAL_SEED")) {
        auto counter = std::make_shared<uint32_t>(0);
        const std::string text = seed;
        keys.random = [counter, text](uint8_t* bytes, size_t count) {
            const uint32_t n = (*counter)++;
            const uint8_t info[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
            hkdfSha256(nullptr, 0, reinterpret_cast<const uint8_t*>(text.data()), text.size(), info, sizeof info,
                       bytes, count);
        };
    }
}

} // namespace

bool prepareSeal(RunOptions& options)
{
    if (options.createSfx && !options.recipientFiles.empty()) {
        // The self-extracting copy can ask for a passphrase only.
        tell("Error: a self-extracting archive is sealed with a passphrase, not with -recipient\n");
        return false;
    }
    auto keys = std::make_shared<SealKeys>();
    if (!options.recipientFiles.empty()) {
        if (!options.passwordFile.empty()) {
            // A passphrase stanza stands alone: whoever holds a key could otherwise change it.
            tell("Error: -recipient and a passphrase cannot seal one archive together\n");
            return false;
        }
        for (const std::string& path : options.recipientFiles) {
            std::string text;
            X25519Key key;
            if (!readFirstLine(path, text)) {
                tell("Error opening %s\n", printable(path).c_str());
                tellReason(path, lastFailureReason());
                return false;
            }
            if (!parsePublicKey(text, key)) {
                tell("Error: %s holds no public key\n", printable(path).c_str());
                return false;
            }
            keys->recipients.push_back(key);
        }
        if (keys->recipients.size() > sealMaxRecipients) {
            tell("Error: at most %d recipients\n", static_cast<int>(sealMaxRecipients));
            return false;
        }
    } else {
        Passphrase passphrase;
        if (!passphraseFrom(options, true, passphrase)) return false;
        keys->passphrase = passphrase.text;
    }
    applyTestSettings(*keys);
    options.seal = keys;
    return true;
}

bool openSealedArchive(FILE* file, const RunOptions& options, SealedReading& reading, bool pipe)
{
    SealCost cost;
    StanzaKind kind = StanzaKind::passphrase;
    SealStatus status =
        pipe ? readSealedHeaderFromPipe(reading, file, cost, kind) : readSealedHeader(reading, file, cost, kind);
    if (status == SealStatus::notSealed) {
        tell("Error: standard input is not a sealed archive\n");
        return false;
    }
    if (status == SealStatus::tooCostly) {
        tell("Error: the sealed archive asks for more memory or time to open than allowed (%u passes, %u KiB): "
             "damaged or crafted\n",
             cost.passes, cost.memoryKiB);
        return false;
    }
    if (status != SealStatus::ok) {
        tell("Error: damaged archive (sealed header)\n");
        return false;
    }
    Passphrase passphrase;
    X25519Key identity{};
    OpenWith with;
    if (kind == StanzaKind::recipients) {
        std::string text;
        if (options.identityFile.empty()) {
            tell("Error: the archive is sealed to public keys; open it with -identity=KEYFILE\n");
            return false;
        }
        if (!readFirstLine(options.identityFile, text)) {
            tell("Error opening %s\n", printable(options.identityFile).c_str());
            tellReason(options.identityFile, lastFailureReason());
            return false;
        }
        const bool parsed = parseSecretKey(text, identity);
        wipe(text.data(), text.size());
        if (!parsed) {
            tell("Error: %s holds no secret key\n", printable(options.identityFile).c_str());
            return false;
        }
        with.identity = &identity;
    } else {
        if (!options.identityFile.empty() && options.passwordFile.empty()) {
            tell("Error: wrong password or key\n");
            return false;
        }
        if (!passphraseFrom(options, false, passphrase)) return false;
        with.passphrase = &passphrase;
    }
    status = pipe ? openSealedPipe(reading, with) : openSealedPayload(reading, with);
    wipe(identity.data(), identity.size());
    if (status == SealStatus::wrongKey) {
        tell("Error: wrong password or key\n");
        return false;
    }
    if (status != SealStatus::ok) {
        tell("Error: damaged archive (sealed header)\n");
        return false;
    }
    return true;
}

int32_t keyCommand(const std::string& path)
{
    X25519Key secret, publicKey;
    newSecretKey(secret);
    if (!publicKeyOf(secret, publicKey)) {
        tell("Error: no key could be made\n");
        return 1;
    }
    std::string secretText = secretKeyText(secret);
    wipe(secret.data(), secret.size());
    FILE* file = openSecretOutput(path);
    bool ok = file && std::fwrite(secretText.data(), 1, secretText.size(), file) == secretText.size();
    wipe(secretText.data(), secretText.size());
    if (file && std::fclose(file) != 0) ok = false;
    if (!ok) {
        tell("Error writing %s\n", printable(path).c_str());
        tellReason(path, lastFailureReason());
        return 1;
    }
    const std::string publicPath = path + ".pub";
    const std::string publicText = publicKeyText(publicKey);
    FILE* out = openWrite(publicPath);
    ok = out && std::fwrite(publicText.data(), 1, publicText.size(), out) == publicText.size();
    if (out && std::fclose(out) != 0) ok = false;
    if (!ok) {
        tell("Error writing %s\n", printable(publicPath).c_str());
        tellReason(publicPath, lastFailureReason());
        return 1;
    }
    say("Secret key written to %s, public key to %s\n", printable(path).c_str(), printable(publicPath).c_str());
    return 0;
}

} // namespace qv5
