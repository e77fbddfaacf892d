// libFuzzer target over the bodies, with no interpreter: each input drives one
// body with lengths, keys and data taken from the input, and the outcome is
// compared with an independent model on OpenSSL's AES and SHA-256
// (body_reference.hpp). A result must equal the model's; a refusal must be one
// the contract has, with its exact text, before any output is asked for where
// the contract checks first; arguments written back only after success.
#include "body_reference.hpp"
#include "core/errors.hpp"
#include "core/output.hpp"
#include "message/kdf.hpp"
#include "message/messages.hpp"
#include "modes/ctr.hpp"
#include "modes/ige.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <format>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

using reference::Bytes;
using reference::View;

[[noreturn]] void mismatch(const std::string& what) {
    std::fprintf(stderr, "body_fuzzer: %s\n", what.c_str());
    std::abort();
}

void expect(bool condition, const std::string& what) {
    if (!condition) mismatch(what);
}

// Result storage on the heap, so that AddressSanitizer sees every write past
// it; with `refuse` set it fails as an interpreter out of memory would.
class VectorOutput final : public orvane::Output {
public:
    explicit VectorOutput(bool refuse = false) : refuse_(refuse) {}
    orvane::MutableBytes allocate(std::size_t size) override {
        expect(++requests_ == 1, "a body asked for its output twice");
        if (refuse_) throw std::bad_alloc();
        storage_.assign(size, 0xA5);
        return storage_;
    }
    const Bytes& bytes() const { return storage_; }
    int requests() const { return requests_; }

private:
    bool refuse_;
    int requests_ = 0;
    Bytes storage_;
};

// What a body call ended with.
struct Outcome {
    enum Kind { result, body_error, internal_fault, out_of_memory } kind = result;
    std::string message;
};

template <class Body>
Outcome run(Body&& body) {
    try {
        body();
        return {};
    } catch (const orvane::BodyError& error) {
        return {Outcome::body_error, error.message};
    } catch (const orvane::InternalFault& fault) {
        return {Outcome::internal_fault, fault.message};
    } catch (const std::bad_alloc&) {
        return {Outcome::out_of_memory, {}};
    }
}

void expect_refusal(const Outcome& outcome, Outcome::Kind kind, const std::string& message, const char* where) {
    expect(outcome.kind == kind && outcome.message == message,
           std::format("{}: expected refusal \"{}\", got kind {} \"{}\"", where, message, static_cast<int>(outcome.kind),
                       outcome.message));
}

// A length that is usually the right one and sometimes any other.
std::size_t length_near(FuzzedDataProvider& input, std::size_t right, std::size_t most) {
    return input.ConsumeBool() ? right : input.ConsumeIntegralInRange<std::size_t>(0, most);
}

Bytes take(FuzzedDataProvider& input, std::size_t length) {
    Bytes bytes = input.ConsumeBytes<std::uint8_t>(length);
    bytes.resize(length);  // an exhausted input pads with zeros
    return bytes;
}

std::string range_fault(std::size_t length, std::size_t start, std::size_t end) {
    if (length < start) return std::format("range start index {} out of range for slice of length {}", start, length);
    return std::format("range end index {} out of range for slice of length {}", end, length);
}

std::string copy_fault(std::size_t source, std::size_t destination) {
    return std::format("copy_from_slice: source slice length ({}) does not match destination slice length ({})",
                       source, destination);
}

// The first auth_key range that a body reading `ranges` in order finds too
// long for `length` bytes, if any.
std::optional<std::string> first_range_fault(std::size_t length,
                                             std::initializer_list<std::pair<std::size_t, std::size_t>> ranges) {
    for (const auto& [start, end] : ranges)
        if (length < end) return range_fault(length, start, end);
    return std::nullopt;
}

void fuzz_ige(FuzzedDataProvider& input) {
    const bool encrypt = input.ConsumeBool();
    const Bytes key = take(input, length_near(input, 32, 64));
    const Bytes iv = take(input, length_near(input, 32, 64));
    const Bytes data = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 1024));
    VectorOutput output;
    const Outcome outcome = run([&] {
        (encrypt ? orvane::ige256_encrypt : orvane::ige256_decrypt)(data, key, iv, output);
    });
    if (key.size() != 32 || iv.size() != 32) {
        expect_refusal(outcome, Outcome::body_error, key.size() != 32 ? "Key must be 32 bytes" : "IV must be 32 bytes",
                       "ige");
        expect(output.requests() == 0, "ige: output asked for before the key and IV checks");
        return;
    }
    expect(outcome.kind == Outcome::result, "ige: valid arguments refused");
    expect(output.bytes() == reference::ige256(data, key, iv, encrypt), "ige: differs from the model");
    VectorOutput back;
    (encrypt ? orvane::ige256_decrypt : orvane::ige256_encrypt)(output.bytes(), key, iv, back);
    expect(back.bytes() == data, "ige: the inverse does not give the data back");
}

// One keystream cut into calls at random places, with the position carried
// in `iv` and `state` from call to call.
void fuzz_ctr(FuzzedDataProvider& input) {
    const Bytes key = take(input, length_near(input, 32, 48));
    Bytes iv = take(input, length_near(input, 16, 32));
    Bytes state = take(input, input.ConsumeBool() ? 1 : input.ConsumeIntegralInRange<std::size_t>(0, 3));
    const bool refuse_output = input.ConsumeIntegralInRange(0, 15) == 0;
    const Bytes iv_before = iv, state_before = state;
    const Bytes data = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 8192));

    std::optional<std::string> refusal;
    if (key.size() != 32) refusal = "Key must be 32 bytes";
    else if (iv.size() != 16) refusal = "IV must be 16 bytes";
    if (refusal || state.empty() || refuse_output) {
        VectorOutput output(refuse_output);
        const Outcome outcome = run([&] { orvane::ctr256_crypt(data, key, iv, state, output); });
        if (refusal) expect_refusal(outcome, Outcome::body_error, *refusal, "ctr");
        else if (state.empty())
            expect_refusal(outcome, Outcome::internal_fault, "index out of bounds: the len is 0 but the index is 0",
                           "ctr");
        else expect(outcome.kind == Outcome::out_of_memory, "ctr: a refused output did not end the call");
        expect(output.requests() == (refusal || state.empty() ? 0 : 1), "ctr: output asked for before the checks");
        expect(iv == iv_before && state == state_before, "ctr: a failed call wrote its position back");
        return;
    }

    const std::size_t used = state[0] < 16 ? state[0] : 0;
    Bytes stream;
    std::size_t done = 0;
    for (int call = 0; call == 0 || done < data.size(); ++call) {
        // The last call takes the rest, so that an exhausted input still ends.
        const std::size_t piece = call == 15 ? data.size() - done
                                             : std::min(data.size() - done, input.ConsumeIntegralInRange<std::size_t>(0, 700));
        VectorOutput output;
        orvane::ctr256_crypt(View(data).subspan(done, piece), key, iv, state, output);
        expect(output.bytes().size() == piece, "ctr: output of another length");
        stream.insert(stream.end(), output.bytes().begin(), output.bytes().end());
        done += piece;
    }
    expect(stream == reference::ctr256(data, key, iv_before, used), "ctr: keystream differs from the model");
    const std::size_t position = used + data.size();
    expect(iv == reference::counter_after(iv_before, position / 16), "ctr: counter block written back differs");
    expect(state[0] == position % 16, "ctr: used count written back differs");
    expect(std::equal(state.begin() + 1, state.end(), state_before.begin() + 1), "ctr: state beyond byte 0 written");
}

void fuzz_kdf(FuzzedDataProvider& input) {
    const bool outgoing = input.ConsumeBool();
    const Bytes auth_key = take(input, length_near(input, 256, 300));
    const Bytes msg_key = take(input, length_near(input, 16, 64));
    orvane::KeyIv derived{};
    const Outcome outcome = run([&] { derived = orvane::derive_key_iv(auth_key, msg_key, outgoing); });
    const std::size_t x = outgoing ? 0 : 8;
    if (const auto fault = first_range_fault(auth_key.size(), {{x, x + 36}, {x + 40, x + 76}})) {
        expect_refusal(outcome, Outcome::internal_fault, *fault, "kdf");
        return;
    }
    const reference::KeyIv expected = reference::derive_key_iv(auth_key, msg_key, outgoing);
    expect(Bytes(derived.aes_key.begin(), derived.aes_key.end()) == expected.key, "kdf: aes_key differs");
    expect(Bytes(derived.aes_iv.begin(), derived.aes_iv.end()) == expected.iv, "kdf: aes_iv differs");
}

void fuzz_pack(FuzzedDataProvider& input) {
    const std::int64_t salt = input.ConsumeIntegral<std::int64_t>();
    const Bytes session_id = take(input, length_near(input, 8, 16));
    const Bytes auth_key = take(input, length_near(input, 256, 300));
    const Bytes auth_key_id = take(input, length_near(input, 8, 16));
    const Bytes data = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 2048));
    VectorOutput output;
    const Outcome outcome =
        run([&] { orvane::pack_message(data, salt, session_id, auth_key, auth_key_id, output); });

    std::optional<std::string> fault;
    if (session_id.size() != 8) fault = copy_fault(session_id.size(), 8);
    else if (auto range = first_range_fault(auth_key.size(), {{88, 120}, {0, 36}, {40, 76}})) fault = range;
    else if (auth_key_id.size() != 8) fault = copy_fault(auth_key_id.size(), 8);
    if (fault) {
        expect_refusal(outcome, Outcome::internal_fault, *fault, "pack");
        return;
    }
    expect(outcome.kind == Outcome::result, "pack: valid arguments refused");
    const Bytes& packed = output.bytes();
    const std::size_t padding = packed.size() - 24 - 16 - data.size();
    expect(packed.size() % 16 == 8 && padding >= 12 && padding <= 27, "pack: wrong padding length");
    expect(std::equal(auth_key_id.begin(), auth_key_id.end(), packed.begin()), "pack: auth_key_id not in front");
    const Bytes plaintext = reference::open(packed, auth_key, /*outgoing=*/true);
    expect(reference::msg_key(auth_key, plaintext, true) == Bytes(packed.begin() + 8, packed.begin() + 24),
           "pack: msg_key does not cover the plaintext");
    Bytes salt_bytes(8);
    for (std::size_t i = 0; i < 8; ++i) salt_bytes[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(salt) >> (8 * i));
    expect(std::equal(salt_bytes.begin(), salt_bytes.end(), plaintext.begin()), "pack: salt differs");
    expect(std::equal(session_id.begin(), session_id.end(), plaintext.begin() + 8), "pack: session_id differs");
    expect(std::equal(data.begin(), data.end(), plaintext.begin() + 16), "pack: data differs");
}

const char* const unpack_refusals[] = {"packed data too short", "auth_key_id mismatch", "decrypted data too short",
                                       "session_id mismatch", "msg_key mismatch"};

bool is_unpack_refusal(const Outcome& outcome) {
    if (outcome.kind != Outcome::body_error) return false;
    for (const char* text : unpack_refusals)
        if (outcome.message == text) return true;
    return false;
}

// A genuine incoming message from the model, then perhaps altered: bits
// flipped, cut short, lengthened, or opened with another session_id or
// auth_key_id. Only the message as sent, to its own session, may be opened.
void fuzz_unpack(FuzzedDataProvider& input) {
    const Bytes auth_key = take(input, 256);
    const Bytes session_id = take(input, 8), auth_key_id = take(input, 8), salt = take(input, 8);
    const Bytes data = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(0, 1024));
    const std::size_t padding_length = 12 + (16 - (16 + data.size() + 12) % 16) % 16;
    const Bytes padding = take(input, padding_length);
    const Bytes genuine = reference::pack(data, salt, session_id, padding, auth_key, auth_key_id, /*outgoing=*/false);

    Bytes packed = genuine, expected_session = session_id, expected_key_id = auth_key_id;
    const int changes = input.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < changes; ++i) {
        switch (input.ConsumeIntegralInRange(0, 4)) {
        case 0:
            if (!packed.empty())
                packed[input.ConsumeIntegralInRange<std::size_t>(0, packed.size() - 1)] ^=
                    static_cast<std::uint8_t>(1u << input.ConsumeIntegralInRange(0, 7));
            break;
        case 1: packed.resize(input.ConsumeIntegralInRange<std::size_t>(0, packed.size())); break;
        case 2: {
            const Bytes extra = input.ConsumeBytes<std::uint8_t>(input.ConsumeIntegralInRange<std::size_t>(1, 40));
            packed.insert(packed.end(), extra.begin(), extra.end());
            break;
        }
        case 3: expected_session = take(input, length_near(input, 8, 16)); break;
        default: expected_key_id = take(input, length_near(input, 8, 16)); break;
        }
    }
    VectorOutput output;
    const Outcome outcome =
        run([&] { orvane::unpack_message(packed, expected_session, auth_key, expected_key_id, output); });
    // auth_key_id only names the key and is not covered by msg_key: a message
    // whose first 8 bytes were changed to the key id the receiver expects is
    // the message as sent, to that receiver.
    const bool as_sent = packed.size() == genuine.size() && packed.size() >= 8 &&
                         std::equal(packed.begin() + 8, packed.end(), genuine.begin() + 8) &&
                         Bytes(packed.begin(), packed.begin() + 8) == expected_key_id;
    if (as_sent && expected_session == session_id) {
        expect(outcome.kind == Outcome::result, "unpack: a genuine message was refused: " + outcome.message);
        Bytes payload = data;
        payload.insert(payload.end(), padding.begin(), padding.end());
        expect(output.bytes() == payload, "unpack: payload differs");
        return;
    }
    expect(is_unpack_refusal(outcome), "unpack: an altered message got kind " +
                                           std::to_string(static_cast<int>(outcome.kind)) + " \"" + outcome.message +
                                           "\"");
    const bool early = outcome.message == unpack_refusals[0] || outcome.message == unpack_refusals[1] ||
                       outcome.message == unpack_refusals[2];
    expect(!early || output.requests() == 0, "unpack: output asked for before the header checks");
}

// Anything at all: never a result, never a crash, only the contract's outcomes.
void fuzz_unpack_raw(FuzzedDataProvider& input) {
    const Bytes session_id = take(input, length_near(input, 8, 12));
    const Bytes auth_key = take(input, length_near(input, 256, 300));
    const Bytes auth_key_id = take(input, length_near(input, 8, 12));
    const bool known_key_id = input.ConsumeBool();  // so that the checks past the header are reached
    Bytes packed = input.ConsumeRemainingBytes<std::uint8_t>();
    if (known_key_id && packed.size() >= 8 && auth_key_id.size() == 8)
        std::copy(auth_key_id.begin(), auth_key_id.end(), packed.begin());
    VectorOutput output;
    const Outcome outcome =
        run([&] { orvane::unpack_message(packed, session_id, auth_key, auth_key_id, output); });
    expect(outcome.kind != Outcome::result, "unpack: random bytes were accepted");
    expect(is_unpack_refusal(outcome) ||
               (outcome.kind == Outcome::internal_fault && outcome.message.starts_with("range ")),
           "unpack: unexpected outcome \"" + outcome.message + "\"");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider input(bytes, size);
    switch (input.ConsumeIntegralInRange(0, 5)) {
    case 0: fuzz_ige(input); break;
    case 1: fuzz_ctr(input); break;
    case 2: fuzz_kdf(input); break;
    case 3: fuzz_pack(input); break;
    case 4: fuzz_unpack(input); break;
    default: fuzz_unpack_raw(input); break;
    }
    return 0;
}
