#include "gui/AboutChecksum.h"

#include <cstdio>
#include <memory>
#include <openssl/err.h>
#include <openssl/evp.h>

namespace {

struct MdContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using MdContext = std::unique_ptr<EVP_MD_CTX, MdContextFree>;

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string Failure(const char* call)
{
    char text[96];
    std::snprintf(text, sizeof(text), "%s failed: %lu\n", call, ERR_get_error());
    return text;
}

}  // namespace

std::optional<Md5Digest> FileMd5(const std::string& path)
{
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "rb"));
    MdContext context(EVP_MD_CTX_new());
    if (!file || !context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        return std::nullopt;
    }
    unsigned char block[1024];
    size_t count = 0;
    while ((count = std::fread(block, 1, sizeof(block), file.get())) > 0) {
        if (EVP_DigestUpdate(context.get(), block, count) != 1) {
            return std::nullopt;
        }
    }
    Md5Digest digest{};
    unsigned int length = 0;
    if (std::ferror(file.get()) != 0 || EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 ||
        length != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

std::vector<std::string> ChecksumFiles(const std::string& programFolder, const CRegistry& registry,
                                       std::string_view clsidText)
{
    std::vector<std::string> files{programFolder + "/" + kToolkitLibraryName};
    const std::string key = "CLSID\\" + std::string(clsidText) + "\\LocalServer32";
    if (registry.KeyExists(key)) {
        std::string server;
        const bool read = registry.GetValue(key, "", &server) && server.size() <= kLocalServerValueMaxBytes;
        files.push_back(read ? server : files.front());
    }
    return files;
}

std::string ChecksumText(const std::vector<std::string>& files)
{
    std::vector<uint8_t> digests;
    for (const std::string& path : files) {
        const Md5Digest digest = FileMd5(path).value_or(Md5Digest{});
        digests.insert(digests.end(), digest.begin(), digest.end());
    }
    MdContext context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        return Failure("EVP_DigestInit_ex");
    }
    if (EVP_DigestUpdate(context.get(), digests.data(), digests.size()) != 1) {
        return Failure("EVP_DigestUpdate");
    }
    Md5Digest total{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), total.data(), &length) != 1) {
        return Failure("EVP_DigestFinal_ex");
    }
    std::string text = "0x";
    char pair[3];
    for (const uint8_t byte : total) {
        std::snprintf(pair, sizeof(pair), "%02x", byte);
        text += pair;
    }
    return text;
}
