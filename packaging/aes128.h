#pragma once

#include <cstdint>

// AES-128 encryption of one 16-byte block as FIPS-197 defines it. Packages
// need only encryption: the box decrypts.
constexpr int aes_block_size = 16;

// Working state of the cipher: a copy of the key that becomes each round key
// in turn, and the round constant. The round keys are derived on the fly, so
// the state is set afresh from the key before every block.
struct Aes128State {
    uint8_t round_key[aes_block_size];
    uint8_t rcon;
};

// Sets state from key (round constant 1).
void aes128_start(Aes128State &state, const uint8_t key[aes_block_size]);

// Encrypts block in place with a freshly started state; the state is used up.
void aes128_encrypt(Aes128State &state, uint8_t block[aes_block_size]);

// Encrypts block in place under key.
void aes128_encrypt_block(uint8_t block[aes_block_size], const uint8_t key[aes_block_size]);
