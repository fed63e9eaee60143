// vmod-bench: throughput of the decoding core against independent implementations of the
// same algorithms, measured in one run.
//
// Every comparison prints the MB/s of each side and one line "ratio NAME VALUE", ours divided
// by the reference (higher is better). Each figure is the best of several timed passes, so a
// busy neighbour on the machine lowers it less.
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "payload/des.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best throughput in MB/s (10^6 bytes per second) of `pass`, which handles `bytes` bytes per
// call: passes run until `budget` seconds have gone, at least `min_passes` times.
double best_mbps(size_t bytes, const std::function<void()>& pass, double budget = 1.0,
                 int min_passes = 3) {
    double best = 1e30;
    auto start = Clock::now();
    for (int n = 0;; ++n) {
        auto t0 = Clock::now();
        pass();
        auto t1 = Clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
        double spent = std::chrono::duration<double>(t1 - start).count();
        if (n + 1 >= min_passes && spent >= budget)
            break;
    }
    return static_cast<double>(bytes) / best / 1e6;
}

void print_speed(const char* what, double mbps) {
    std::printf("%-40s %9.1f MB/s\n", what, mbps);
}

void print_ratio(const char* name, double value) {
    std::printf("ratio %s %.3f\n", name, value);
}

// Keeps results alive so the compiler cannot drop the work.
volatile unsigned g_sink;

// ---------------------------------------------------------------------------------------------
// DES-ECB: decrypting 64 KiB chunks, as the payload stream does.

constexpr size_t kChunk = 65536;

void bench_des() {
    OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER* deflt = OSSL_PROVIDER_load(nullptr, "default");
    if (!legacy) {
        std::printf("des: OpenSSL legacy provider unavailable, comparison skipped\n");
        return;
    }
    unsigned char key[8] = {};
    std::memcpy(key, "rtog5u3", 7);
    const size_t total = 16 * kChunk; // one pass: 1 MiB in 16 chunks
    std::vector<unsigned char> data(total);
    std::mt19937 rng(1);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());

    double ours = best_mbps(total, [&] {
        for (size_t off = 0; off < total; off += kChunk) {
            des_ecb_crypt(key, data.data() + off, static_cast<int>(kChunk), DES_DECRYPT);
        }
        g_sink = data[0];
    });

    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctx, cipher, nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    double ref = best_mbps(total, [&] {
        for (size_t off = 0; off < total; off += kChunk) {
            int n = 0;
            // In place, as ours: EVP allows the output to be the input exactly.
            EVP_DecryptUpdate(ctx, data.data() + off, &n, data.data() + off,
                              static_cast<int>(kChunk));
        }
        g_sink = data[0];
    });
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);

    print_speed("des_ecb_crypt decrypt (64 KiB chunks)", ours);
    print_speed("OpenSSL EVP DES-ECB decrypt (legacy)", ref);
    print_ratio("des_ecb_vs_openssl", ours / ref);
    OSSL_PROVIDER_unload(legacy);
    if (deflt)
        OSSL_PROVIDER_unload(deflt);
}

} // namespace

int main() {
    bench_des();
    return 0;
}
