// SHA-256 digests, for the files a backup keeps and the ranges a rollback journal names.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace storage {

// A SHA-256 digest taken over pieces added in turn.
class Sha256 {
public:
    Sha256();
    void Add(std::string_view bytes);
    // The digest of what was added: its 32 bytes, or in lower-case hex.
    std::string Bytes();
    std::string Hex();

private:
    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> context_;
};

// The SHA-256 of `bytes`, in lower-case hex.
std::string Sha256Of(std::string_view bytes);

}  // namespace storage
