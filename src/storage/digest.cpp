#include "storage/digest.h"

#include <openssl/evp.h>

#include "common/hex.h"

namespace storage {

Sha256::Sha256() : context_(EVP_MD_CTX_new(), EVP_MD_CTX_free)
{
    EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr);
}

void Sha256::Add(std::string_view bytes)
{
    EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size());
}

std::string Sha256::Bytes()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_.get(), digest, &length);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Sha256::Hex()
{
    std::string hex;
    AppendHex(hex, Bytes());
    return hex;
}

std::string Sha256Of(std::string_view bytes)
{
    Sha256 hash;
    hash.Add(bytes);
    return hash.Hex();
}

}  // namespace storage
