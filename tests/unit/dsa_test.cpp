// Big numbers, HMAC-SHA256, DSA signing and verification, the key table, and
// OpenSSL's command line as an independent peer (native build only).
#include "root/dsa.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/dsa_der.h"
#include "exceptions/exceptions.h"
#include "root/bignum.h"
#include "root/hmac.h"
#include "root/sha256.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using kro::root::bignum;
using kro::root::digest;
namespace dsa = kro::root::dsa;

std::vector<uint8_t> unhex(const std::string& hex) { return bignum::from_hex(hex).to_bytes(); }

std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::filesystem::path key_dir() { return std::filesystem::path(KRO_SOURCE_DIR) / "keys" / "dev-private"; }

// The development ring's private key of one name, as committed.
const dsa::key_pair& dev_key(char name) {
  static std::vector<dsa::key_pair> keys = [] {
    std::vector<dsa::key_pair> all;
    for (char n = 'A'; n <= 'H'; ++n)
      all.push_back(dsa::parse_key_text(read_text(key_dir() / (std::string(1, n) + ".txt"))));
    return all;
  }();
  return keys.at(static_cast<size_t>(name - 'A'));
}

digest hash_of(const std::string& text) { return kro::root::hash_block(text.data(), text.size()); }

// --- Big numbers ---------------------------------------------------------------

TEST(bignum, bytes_round_trip_and_capacity) {
  EXPECT_TRUE(bignum::from_bytes(std::vector<uint8_t>{0, 0, 1, 2}).to_bytes() ==
              (std::vector<uint8_t>{1, 2}));
  EXPECT_TRUE(bignum().to_bytes().empty());
  bignum v;
  std::vector<uint8_t> bytes(516, 0xFF);
  EXPECT_TRUE(v.try_assign(bytes.data(), bytes.size()));
  EXPECT_EQ(v.bit_length(), 4128u);
  // Longer than 516 bytes is refused even when the extra bytes are zeros.
  bytes.assign(517, 0);
  bytes.back() = 1;
  EXPECT_FALSE(v.try_assign(bytes.data(), bytes.size()));
  EXPECT_THROW(bignum::from_bytes(bytes), std::length_error);
  uint8_t out[3];
  bignum(0x10203).to_bytes(out, 3);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 3);
  EXPECT_THROW(bignum(0x1020304).to_bytes(out, 3), std::length_error);
}

TEST(bignum, arithmetic_errors) {
  const bignum full = bignum::from_bytes(std::vector<uint8_t>(516, 0xFF));
  EXPECT_THROW(bignum::add(full, bignum(1)), std::overflow_error);
  EXPECT_THROW(bignum::mul(full, bignum(2)), std::overflow_error);
  EXPECT_THROW(bignum::sub(bignum(1), bignum(2)), std::domain_error);
  EXPECT_THROW(bignum::mod(full, bignum()), std::domain_error);
  EXPECT_THROW(bignum::mod_exp(bignum(2), bignum(3), bignum(10)), std::domain_error);
  EXPECT_EQ(bignum::sub(bignum::add(full, bignum()), full), bignum());
}

// Values from an independent implementation (Python's integers), at the full
// capacity: a 4128-bit modulus, a product beyond the capacity.
TEST(bignum, matches_reference_values_at_full_capacity) {
  const bignum m = bignum::from_hex(
      "ab790602dc79e8e87707af4db6770b11ffc9492cb56211ccf0a737c355e3679f5656a72a9fa71a5963243c73430e07f524329a"
      "26a0cb0b"
      "17d625c18a9871d7697e4ba5945e684f9633fddcd922d7bd7f5d9f348076da03a0febdf93a3c6fc1733b08c157c7c64d559b50"
      "9fbea719"
      "3cf4d9f181ea54c4c0c31cae4e659d1a8c836bc9e141b4852afbcdebefa791f68f88f5d93c67c5bc543b51b8a7af8171a4c3d8"
      "0dad4242"
      "45dc03dd8ba9d4f897181304f8c31cc30d0ea339a7ff57bffa07750a5d5bfe345986d33aa67f52682f860ede282d59e7b0dfa4"
      "36cc71a5"
      "915405c0510323696a1510446d4337155352d63f337e6853cb2d34ea5865585254b1070f63eb18aa53bdf64dc34797c4239344"
      "6abe5640"
      "59b9ae5c8f1fca7da27744001a6aa45fe0a0f09780597538cbc54be01c0ef8e010faaced226972f683de11ee00366dadc08817"
      "7abd25fb"
      "ab1ba70b967adf354788d4dd79d3b5834f4cecb736d877f1caf0ba49c19fc0a9c8beb070e38434d57084ddfa7fa4ffe9ec11c6"
      "3d5f77bb"
      "3a6a06131db61884f42b4b548a84a5b43d43188b3890644f3d4e7b37d72e4af69787709d9b532aba4e6c3686ff0de26a769806"
      "5aab0a37"
      "7f90ade7bc38d756d0055979a2da95a83ec33dd6887e840043e58844c2354e2bb7740a63c1d8fac168fb90d7b938451ee325fa"
      "a633406b"
      "c44dc2a627940eee3cba6f875c2e84496e7857dd87");
  const bignum a = bignum::from_hex(
      "2ea7c9ed0767486647ed00441f740b00001e6f135092c597b2c4d80a8b5646c92e0968af8f5e55551ba33a53986b28de07b9b3"
      "7ea1aab1"
      "ec9ab53d94fe9fa6fbcffecfa18fca024e981b88f0f18f97a9cfb707cc1ab33b349e274b3f2014a4c31637c1d8297b2a4a2a42"
      "04a6bb59"
      "e523cc868b40957cd5f87cf0d5123c7b04cc2c7b76da810f5598f24a8cdc167edfdaec7ea1c99d6d1f17a28e6d2ae81b9fcc35"
      "d25ae0d4"
      "5d1139f1f8665c201f0631848a58c50e46b5103ac3aeaf1e59552012c83c23a22845d1f35b15bfb8703835bdcc489cefa65685"
      "608041f7"
      "8b4e09dbad92c7d6ee99c03de6a2b384943014430bad1375ccbe3f3ee4337c1db3da03ffc0085a145ac7cd4d51e8217b39260d"
      "7ad9a4e1"
      "e983e89a8a2d16130c637b38b5c8c90052320862d1e4196f3537fbd4857ec6b10619c1ad8586fe0f194001c9e9bb373251a95e"
      "e6299085"
      "ab8a22c1a23a4746df204d70bb5e4d26df2f12231373d7bd11c5337087006a373282f8d5f553a9f334346f9ed048e129131286"
      "111bad7b"
      "675e54437cfbc79a094dea760ee1c3b1ee4a0a3d41c6df48c3fd37cd9201ff3215e84814d92cf93a81ea0b59ac4f533c55de74"
      "b42eddd2"
      "7029d03d2691949ce65ddc49011ae8e62c7a15bed7f35cebf0edeb0c1915ec2810c1525aafc3434b94bdca5e34f81895ecad86"
      "a154f1b9"
      "7421cb664adc769927c48ff480b2122b13af1f7fa6");
  const bignum e = bignum::from_hex("9eac66f3869ff93e6ddb7b359ea2a639e01a9289f70fbd4948");
  const std::string power =
      "909f44825005697cddfa3e8d4602e5e4d28cfac344ee12322b68c26d1a6959426e721fdddb93c80f42392f799c5cbe6fb34055"
      "91cb7635"
      "5b94abdcf66b954c78a8e76ba27c4ce47050b55cda5e488111e9a042f969c94380fbf0d6c6b67da1aa8c72667efb0319ae0ffb"
      "8b04f10d"
      "acfb8c17771ad82d8669b5d56d75da5aa353d6c44cc893cff6db2ae534e5fbcd187c06674b91ba155ac885bd665e903226be04"
      "19e08ef5"
      "29bbef70d59add7b07d9d32e0ab80a2df9f756a24ae2f084e81e05b6f045677d1cb45659e961743d42a42c50d1a72dd95de7bf"
      "de1f206f"
      "ac9a76c693062723f33796d3b0003b599620f025ddef43544e75823c0ea1b3ee6462f1b99b82e15187d370eeae1b584c622acd"
      "aa8d44f7"
      "bb7bfa2fa34effb963e70eb44ada91859260f73b2e2c11ea63cacd4f20df79f436fd1e377710eef584873d92d8cfd4a3360308"
      "abb4d01e"
      "5387c8809930e6f64ca82c973972fdceb476dbaee96faafb5247311f7212cf3daae3036904f8b8b1d4bdc7e840d34569d22551"
      "3d602227"
      "58ca65a1178bce14dd79b49eb0fd65d1b46396b3750e1f5082eece59b9240f08badff3aa6084d7cf0bece709fa5b585e60ceac"
      "50a75a43"
      "83dc3abce1b179ab2c8543e11320a77eb27e4514635156a1109086220980f21f00a0110d314641723a899a7380565c903679f7"
      "0d7940a9"
      "fdfb3ca9cbd119eb04890899b08ee1ef6f1cc40466";
  EXPECT_EQ(bignum::mod_exp(a, e, m).to_hex(), power);
  const bignum b = bignum::from_hex(
      "4f094e9cfe3cc8892e95dcdc6cf6cf89806b6614be4b4ae696f8532e6a8ddf0570debd1d21863c21cb481c39581597fc92e3f9"
      "ce3f48c3"
      "4d4a2fcd0f36cfb2a865d092a1c1e86dcc71f201e11c5301005098b8f3028f6b54b538b25da9d0102457defa6b4f1c090f46f1"
      "12746ed1"
      "60362775d730ed5218bbb5ce6e24b295124687eb90b57409ec03cea9a982bf27ecddb4eb4c827568feb30dc7f4f27067930d52"
      "cc9c6f62"
      "21b1b05e1fffb94f504afed1148770d6e55aeffd8ab0365cba19984d3969f601b847899f82409de9abe96b939a00643285bfc6"
      "bbbaac51"
      "daa859cc441742703e0df4af6f029aa07e6677ebbf9224e968d94414a57096df88282eb6002ba029d5500b8896e7b18500cc9a"
      "49ece4a9"
      "48b8c162d2b7f14ce5d8df70c3576f122869bc792db36d49f67099f9b37f9f21c69a89873016b5207a981c34ad6c08a54cc391"
      "2999cc5d"
      "8003800bf956dacb95ef255d94fd11e872be203cfeceeafc6fc43749067345b4f61e92deeda9dc0ac369c326a609865dcc5924"
      "fc83d1b2"
      "90e627c35a00c05e1e406ff223f2f18b3f9e5c798297c0a6b1db777dd1cae7272e02849dddfd3259619bcf36673bc7f379fb81"
      "3d2f2692"
      "2ce4a3738b74880cad5a9bfee706a2958a26183867431fb7dbb8b8a8545d01eb1504c2d68791515502fa80d6676027c9a30aa1"
      "af2a5014"
      "df9353603af9443fa7f35cdec71bbf5d7cb");
  EXPECT_EQ(bignum::mul_mod(a, b, m).to_hex(),
            "31affcedb8cf9441c913da6a51f480b04b8e47d5822000f4242ebb41519aa078dd03972de3ff02c82e6fac2e48ffdcda"
            "db6b4c21fa"
            "cd883f61df3a80613136b7b72beac82deef8bcab208673340778484fc6a8b4281daea15bb7a9514fa62bf087713084e6"
            "b4d169d42f"
            "74954245d40c470c91856b601285db017808b0c64886b099565fa7937ef44c1aba58ebcb911ce650e86250100d6660d9"
            "051432f8de"
            "2a5ec82c5af325ef5795d0a0e7e329132c88ec9d8287d4e297f0afa211add2b222662f1ee0e0c9c4338c6d096d11d2e3"
            "ff74f35aca"
            "de66edc6cbe51f96a0484f1ddf8c0c4cf0bcf268b9e15f8046ac827b01256e3104a0169ac08fb3f43e6fc6c79d982220"
            "fac9ddb65b"
            "e66dd21799d0b188fe07920519340711d6eb2c9405dee9827c7714ff603add83c7ddc239c93fb1a273d7bacceb342356"
            "b70cdfa6a0"
            "f8a198552067c3ebf303b5ba053ece916f00686bcd2350a351921101065fcf795ecad58b5aeb3ef5dcb41ddc9946c176"
            "05dc101362"
            "59cb6692c10ce8efbe0f9941e668b0d3cd7fb6d57bb36de3b05118f540a4b7ce579e46e1eee01bd602af18e98f882acb"
            "302e3cd5b4"
            "80c4d25f3d73bf955a980e05bb250f219a4cac822154d21384ad45d69b162fa3557f3883c341b6480027f572fa5006ab"
            "055c1e1ab5"
            "7fc32515c7a8988b81c993dcfbf396aa96524e2cfc0629382338ef42fb93c3963c849ef8799b1b");
  bignum inverse;
  ASSERT_TRUE(bignum::mod_inverse(bignum::from_hex("8b1cc413514dfee7"), bignum::from_hex("9e1d47143b1cf455"),
                                  &inverse));
  EXPECT_EQ(inverse.to_hex(), "48040cf3d63e466a");
  EXPECT_FALSE(bignum::mod_inverse(bignum(6), bignum(9), &inverse));
  EXPECT_FALSE(bignum::mod_inverse(bignum(9), bignum(9), &inverse));
}

// Identities over the development ring's 2048-bit primes: Fermat, inverse,
// and the interleaved two-base exponentiation against two single ones.
TEST(bignum, identities_over_the_ring_primes) {
  const dsa::key_pair& g = dev_key('G');
  const bignum p = bignum::from_bytes(g.p), q = bignum::from_bytes(g.q), base = bignum::from_bytes(g.g);
  const bignum y = bignum::from_bytes(g.y), x = bignum::from_bytes(g.x);
  EXPECT_EQ(bignum::mod_exp(bignum(3), bignum::sub(p, bignum(1)), p), bignum(1));
  EXPECT_EQ(bignum::mod_exp(base, q, p), bignum(1));
  EXPECT_EQ(bignum::mod_exp(base, x, p), y);
  bignum inverse;
  ASSERT_TRUE(bignum::mod_inverse(x, q, &inverse));
  EXPECT_EQ(bignum::mul_mod(inverse, x, q), bignum(1));
  const bignum e1 = bignum::sub(q, bignum(1)), e2 = bignum::shift_right(q, 7);
  EXPECT_EQ(bignum::mod_exp2(base, e1, y, e2, p),
            bignum::mul_mod(bignum::mod_exp(base, e1, p), bignum::mod_exp(y, e2, p), p));
  EXPECT_EQ(bignum::mod_exp2(base, bignum(), y, bignum(), p), bignum(1));
}

// The fixed-sequence operations for secrets give what the general ones give,
// for exponents with leading zero bits and words, zero, one and the largest
// values, on a 2048-bit and a 256-bit modulus.
TEST(bignum, secret_operations_match_the_general_ones) {
  const dsa::key_pair& g = dev_key('G');
  const bignum p = bignum::from_bytes(g.p), q = bignum::from_bytes(g.q), base = bignum::from_bytes(g.g);
  const bignum x = bignum::from_bytes(g.x);
  const bignum q1 = bignum::sub(q, bignum(1));
  const bignum exponents[] = {bignum(),
                              bignum(1),
                              bignum(0xF),
                              bignum(0x10),
                              bignum::shift_right(x, 37),
                              bignum::shift_right(x, 224),  // one word only
                              x,
                              q1};
  for (const bignum& e : exponents) {
    SCOPED_TRACE(e.to_hex());
    EXPECT_EQ(bignum::mod_exp_secret(base, e, p, 256), bignum::mod_exp(base, e, p));
    EXPECT_EQ(bignum::mod_exp_secret(e, x, q, 256), bignum::mod_exp(e, x, q));
    if (!e.is_zero()) {
      const bignum inverse = bignum::inverse_mod_prime_secret(e, q);
      EXPECT_EQ(bignum::mul_mod(inverse, e, q), bignum(1));
    }
    EXPECT_EQ(bignum::mul_mod_secret(e, x, q), bignum::mul_mod(e, x, q));
    EXPECT_EQ(bignum::mul_mod_secret(e, q1, q), bignum::mul_mod(e, q1, q));
    EXPECT_EQ(bignum::add_mod_secret(e, x, q), bignum::add_mod(e, x, q));
    EXPECT_EQ(bignum::add_mod_secret(e, q1, q), bignum::add_mod(e, q1, q));
  }
  // A base beyond the modulus is reduced; a 1-word modulus works.
  EXPECT_EQ(bignum::mod_exp_secret(bignum::add(base, p), x, p, 256), bignum::mod_exp(base, x, p));
  EXPECT_EQ(bignum::mod_exp_secret(bignum(5), bignum(117), bignum(1000003), 7), bignum(136318));
  EXPECT_EQ(bignum::mod_exp_secret(bignum(5), bignum(117), bignum(1), 7), bignum());
  // The exponent must fit its fixed length; the modulus must be odd.
  EXPECT_THROW(bignum::mod_exp_secret(base, x, p, 128), std::invalid_argument);
  EXPECT_THROW(bignum::mod_exp_secret(base, x, bignum(10), 256), std::domain_error);
  EXPECT_THROW(bignum::mul_mod_secret(x, x, bignum(10)), std::domain_error);
  EXPECT_THROW(bignum::add_mod_secret(x, x, bignum()), std::domain_error);
}

// --- HMAC-SHA256 (RFC 4231 cases 2 and 6) ----------------------------------------

TEST(hmac_sha256, rfc4231_vectors) {
  const std::string data = "what do ya want for nothing?";
  EXPECT_EQ(kro::root::hmac_sha256_block("Jefe", 4, data.data(), data.size()).to_hex_narrow(),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  const std::string long_key(131, '\xaa');
  const std::string text = "Test Using Larger Than Block-Size Key - Hash Key First";
  kro::root::hmac_sha256 mac(long_key.data(), long_key.size());
  mac.update(text.data(), 10);
  mac.update(text.data() + 10, text.size() - 10);
  EXPECT_EQ(mac.finish().to_hex_narrow(), "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

// --- DSA ---------------------------------------------------------------------------

// RFC 6979 A.2.2: DSA 2048/256 with SHA-256, messages "sample" and "test".
TEST(dsa, rfc6979_deterministic_signatures) {
  dsa::key_pair key;
  key.p = unhex(
      "9DB6FB5951B66BB6FE1E140F1D2CE5502374161FD6538DF1648218642F0B5C48C8F7A41AADFA187324B87674FA1822B00F1ECF"
      "8136943D7C"
      "55757264E5A1A44FFE012E9936E00C1D3E9310B01C7D179805D3058B2A9F4BB6F9716BFE6117C6B5B3CC4D9BE341104AD4A80A"
      "D6C94E005F"
      "4B993E14F091EB51743BF33050C38DE235567E1B34C3D6A5C0CEAA1A0F368213C3D19843D0B4B09DCB9FC72D39C8DE41F1BF14"
      "D4BB4563CA"
      "28371621CAD3324B6A2D392145BEBFAC748805236F5CA2FE92B871CD8F9C36D3292B5509CA8CAA77A2ADFC7BFD77DDA6F71125"
      "A7456FEA15"
      "3E433256A2261C6A06ED3693797E7995FAD5AABBCFBE3EDA2741E375404AE25B");
  key.q = unhex("F2C3119374CE76C9356990B465374A17F23F9ED35089BD969F61C6DDE9998C1F");
  key.g = unhex(
      "5C7FF6B06F8F143FE8288433493E4769C4D988ACE5BE25A0E24809670716C613D7B0CEE6932F8FAA7C44D2CB24523DA53FBE4F"
      "6EC3595892"
      "D1AA58C4328A06C46A15662E7EAA703A1DECF8BBB2D05DBE2EB956C142A338661D10461C0D135472085057F3494309FFA73C61"
      "1F78B32ADB"
      "B5740C361C9F35BE90997DB2014E2EF5AA61782F52ABEB8BD6432C4DD097BC5423B285DAFB60DC364E8161F4A2A35ACA3A10B1"
      "C4D203CC76"
      "A470A33AFDCBDD92959859ABD8B56E1725252D78EAC66E71BA9AE3F1DD2487199874393CD4D832186800654760E1E34C09E4D1"
      "55179F9EC0"
      "DC4473F996BDCE6EED1CABED8B6F116F7AD9CF505DF0F998E34AB27514B0FFE7");
  key.x = unhex("69C7548C21D0DFEA6B9A51C9EAD4E27C33D3B3F180316E5BCAB92C933F0E4DBC");
  key.y = dsa::public_value(key.x, key.params());
  struct row {
    const char* message;
    const char* r;
    const char* s;
  };
  static constexpr row rows[] = {
      {"sample", "eace8bdbbe353c432a795d9ec556c6d021f7a03f42c36e9bc87e4ac7932cc809",
       "7081e175455f9247b812b74583e9e94f9ea79bd640dc962533b0680793a38d53"},
      {"test", "8190012a1969f9957d56fccaad223186f423398d58ef5b3cefd5a4146a4476f0",
       "7452a53f7075d417b4b013b278d1bb8bbd21863f5e7b1cee679cf2188e1ab19e"},
  };
  for (const row& c : rows) {
    SCOPED_TRACE(c.message);
    const std::vector<uint8_t> signature = dsa::sign(hash_of(c.message), key.x, key.params());
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_EQ(digest(std::vector<uint8_t>(signature.begin(), signature.begin() + 32)).to_hex_narrow(), c.r);
    EXPECT_EQ(digest(std::vector<uint8_t>(signature.begin() + 32, signature.end())).to_hex_narrow(), c.s);
    EXPECT_TRUE(dsa::verify_value(hash_of(c.message), signature, key.public_part()));
    EXPECT_FALSE(dsa::verify_value(hash_of(std::string(c.message) + "!"), signature, key.public_part()));
  }
}

// Signatures of the development keys as the first signing code made them:
// the signing arithmetic may change, its output may not. "short nonce 181"
// has a nonce with a leading zero byte and gives an r with one.
TEST(dsa, signatures_of_known_vectors_stay_the_same) {
  struct row {
    char key;
    const char* message;
    const char* signature;
  };
  static constexpr row rows[] = {
      {'G', "known vector",
       "af843858ab43982bc41747fec5d68b209b043c569895f1ff6fba30abc2b69597"
       "06cb23f8fd4feeaba2b0a17d8a46885e9c9dcbf81f091f56a315a312fff699c9"},
      {'G', "short nonce 181",
       "0055bec402a93a3c376d84488a820a3dd7f4d153009772fccc5346536eedfb37"
       "951df6e825b76bf95368e0d972b820d0ec849a23bf52d7e7df891bd0d661617d"},
      {'G', "short nonce 451",
       "22d66047188c39e09ca8a5bcf498712e65dcd25cefa4e67b4551110667fe36e8"
       "0a71da77d75e42f69e4738aa03f5e5a338c07615d2e8b08a2208eddac79770b0"},
      {'B', "known vector",
       "777563b9f1e6abbe0a0ad855379299404e8e743e17a01087da502d1f1fc6e819"
       "2ee73b20d275c374378038ff6f0cbfce51ebb90dc539d2cb38f4745fcde773d1"},
      {'C', "known vector",
       "86cdd2518adad58c018edb4471b88c34a51830f05e0949c002c81462bd54fec5"
       "c8b6c6023b31f0012c8b3656cf6b585cdd203ab08d8197132371ac904f1e607d"},
  };
  for (const row& c : rows) {
    SCOPED_TRACE(std::string(1, c.key) + " " + c.message);
    const dsa::key_pair& k = dev_key(c.key);
    const std::vector<uint8_t> signature = dsa::sign(hash_of(c.message), k.x, k.params());
    std::vector<uint8_t> expected(64);
    bignum::from_hex(c.signature).to_bytes(expected.data(), expected.size());
    EXPECT_EQ(signature, expected);
  }
  EXPECT_EQ(dsa::rfc6979_nonce(hash_of("short nonce 181").bytes(), dev_key('G').x, dev_key('G').q)[0], 0);
}

// r or s at and around the boundaries of (0, q), oversized values and odd
// lengths all fail; leading zero bytes do not change the integers.
TEST(dsa, boundary_values_fail) {
  const dsa::key_pair& g = dev_key('G');
  const digest hash = hash_of("boundary");
  const std::vector<uint8_t> good = dsa::sign(hash, g.x, g.params());
  const std::vector<uint8_t> r(good.begin(), good.begin() + 32), s(good.begin() + 32, good.end());
  ASSERT_TRUE(dsa::verify(hash, r, s, g.public_part()));
  const bignum q = bignum::from_bytes(g.q);
  struct row {
    const char* name;
    bignum value;
  };
  const row rows[] = {{"0", bignum()},
                      {"1", bignum(1)},
                      {"q-1", bignum::sub(q, bignum(1))},
                      {"q", q},
                      {"q+1", bignum::add(q, bignum(1))},
                      {"r+q", bignum::add(bignum::from_bytes(r), q)}};
  for (const row& c : rows) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> v = c.value.to_bytes();
    EXPECT_FALSE(dsa::verify(hash, v, s, g.public_part()));
    EXPECT_FALSE(dsa::verify(hash, r, v, g.public_part()));
  }
  std::vector<uint8_t> too_long(517, 0);
  std::copy(r.begin(), r.end(), too_long.end() - 32);
  EXPECT_FALSE(dsa::verify(hash, too_long, s, g.public_part()));

  for (size_t length : {0u, 1u, 63u, 65u, 127u}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> value = good;
    value.resize(length, 0);
    EXPECT_FALSE(dsa::verify_value(hash, value, g.public_part()));
  }
  std::vector<uint8_t> padded = {0};
  padded.insert(padded.end(), r.begin(), r.end());
  padded.push_back(0);
  padded.insert(padded.end(), s.begin(), s.end());
  EXPECT_TRUE(dsa::verify_value(hash, padded, g.public_part()));

  dsa::key_pair even = g;
  even.p.back() &= 0xFE;
  EXPECT_FALSE(dsa::verify(hash, r, s, even.public_part()));
}

// The committed private halves belong to the compiled-in public table.
TEST(dsa, dev_private_keys_match_the_key_table) {
  for (char name = 'A'; name <= 'H'; ++name) {
    SCOPED_TRACE(std::string(1, name));
    const dsa::key_pair& k = dev_key(name);
    const dsa::public_key& table = dsa::table_key(name);
    EXPECT_TRUE(std::equal(k.p.begin(), k.p.end(), table.params.p.begin(), table.params.p.end()));
    EXPECT_TRUE(std::equal(k.q.begin(), k.q.end(), table.params.q.begin(), table.params.q.end()));
    EXPECT_TRUE(std::equal(k.g.begin(), k.g.end(), table.params.g.begin(), table.params.g.end()));
    EXPECT_TRUE(std::equal(k.y.begin(), k.y.end(), table.y.begin(), table.y.end()));
    EXPECT_EQ(dsa::public_value(k.x, k.params()), k.y);
  }
  EXPECT_NE(dev_key('A').p, dev_key('B').p);
  EXPECT_NE(dev_key('B').p, dev_key('C').p);
  EXPECT_EQ(dev_key('A').p, dev_key('H').p);
}

// The compiled-in fingerprint is the table's own; the development ring's
// keys are known by content, whatever their leading zero bytes, and no other
// key is taken for one of them.
TEST(dsa, ring_fingerprint_and_development_keys) {
  EXPECT_EQ(dsa::table_fingerprint(), dsa::ring_fingerprint());
  EXPECT_EQ(std::string(dsa::ring_fingerprint()).size(), 16u);
  // This suite runs on the development ring (see above).
  EXPECT_TRUE(dsa::ring_is_development());
  EXPECT_STREQ(dsa::ring_fingerprint(), "5871b9e5ebaaa689");
  for (char name = 'A'; name <= 'H'; ++name) {
    SCOPED_TRACE(std::string(1, name));
    dsa::key_pair k = dev_key(name);
    EXPECT_EQ(dsa::development_key_name(k), name);
    k.q.insert(k.q.begin(), 3, 0);
    EXPECT_EQ(dsa::development_key_name(k), name);
    k.y.back() ^= 1;
    EXPECT_EQ(dsa::development_key_name(k), 0);
  }
  const dsa::key_pair fresh = dsa::generate_key(dev_key('G').params());
  EXPECT_EQ(dsa::development_key_name(fresh), 0);
  dsa::key_pair too_long = dev_key('G');
  too_long.p.insert(too_long.p.begin(), 1);
  EXPECT_EQ(dsa::development_key_name(too_long), 0);
}

// Which key sets accept a signature of each key (B and C on their own
// domain parameters).
TEST(dsa, key_sets_accept_their_keys_only) {
  struct row {
    char key;
    const char* accepting_sets;
  };
  static constexpr row rows[] = {{'A', "04"}, {'B', "04"}, {'C', "04"}, {'D', "14"},
                                 {'E', "24"}, {'F', "4"},  {'G', "34"}, {'H', "01234"}};
  const digest hash = hash_of("key sets");
  for (const row& c : rows) {
    const dsa::key_pair& k = dev_key(c.key);
    const std::vector<uint8_t> signature = dsa::sign(hash, k.x, k.params());
    for (uint32_t set = 0; set <= dsa::max_key_set; ++set) {
      SCOPED_TRACE(std::string("key ") + c.key + " set " + std::to_string(set));
      char which = 0;
      const bool expected =
          std::string(c.accepting_sets).find(static_cast<char>('0' + set)) != std::string::npos;
      EXPECT_EQ(dsa::verify_key_set(hash, signature, set, &which), expected);
      if (expected) {
        EXPECT_EQ(which, c.key);
      }
    }
  }
  EXPECT_STREQ(dsa::key_set_names(3), "GH");
  try {
    dsa::key_set(5);
    FAIL() << "key set 5 accepted";
  } catch (const kro::exceptions::error& e) {
    EXPECT_EQ(e.code(), 87);
    EXPECT_STREQ(e.what(), "Unknown DSA key!");
  }
  EXPECT_THROW(dsa::table_key('I'), kro::exceptions::error);
}

TEST(dsa, generated_keys_sign_and_round_trip_as_text) {
  const dsa::key_pair& g = dev_key('G');
  const dsa::key_pair fresh = dsa::generate_key(g.params());
  const bignum x = bignum::from_bytes(fresh.x);
  EXPECT_FALSE(x.is_zero());
  EXPECT_TRUE(x < bignum::from_bytes(g.q));
  EXPECT_EQ(fresh.y.size(), 256u);
  EXPECT_NE(fresh.x, dsa::generate_key(g.params()).x);
  const digest hash = hash_of("fresh");
  const std::vector<uint8_t> signature = dsa::sign(hash, fresh.x, fresh.params());
  EXPECT_TRUE(dsa::verify_value(hash, signature, fresh.public_part()));
  EXPECT_FALSE(dsa::verify_value(hash, signature, g.public_part()));
  // Deterministic nonces: the same digest and key give the same signature.
  EXPECT_EQ(dsa::sign(hash, fresh.x, fresh.params()), signature);

  const dsa::key_pair back = dsa::parse_key_text(dsa::format_key_text(fresh, "test key"));
  EXPECT_EQ(back.p, fresh.p);
  EXPECT_EQ(back.q, fresh.q);
  EXPECT_EQ(back.g, fresh.g);
  EXPECT_EQ(back.y, fresh.y);
  EXPECT_EQ(back.x, fresh.x);
  EXPECT_THROW(dsa::parse_key_text("p 0g\nq 01\ng 01\ny 01\n"), std::invalid_argument);
  EXPECT_THROW(dsa::parse_key_text("p 01\nq 01\n"), std::invalid_argument);
  EXPECT_THROW(dsa::parse_key_text("z 01\n"), std::invalid_argument);
  std::vector<uint8_t> zero_x(32, 0);
  EXPECT_THROW(dsa::sign(hash, zero_x, g.params()), std::invalid_argument);
  EXPECT_THROW(dsa::sign(hash, g.q, g.params()), std::invalid_argument);
}

// --- OpenSSL as the peer (native only) ----------------------------------------------

#ifndef _WIN32

// r || s (32 bytes each) from OpenSSL's DER SEQUENCE { INTEGER r, INTEGER s }.
std::vector<uint8_t> value_from_der(const std::vector<uint8_t>& der) {
  std::vector<uint8_t> out;
  size_t at = 2;  // SEQUENCE tag and one-byte length
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(der.at(at), 0x02);
    const size_t len = der.at(at + 1);
    std::vector<uint8_t> v(der.begin() + static_cast<long>(at + 2),
                           der.begin() + static_cast<long>(at + 2 + len));
    while (v.size() > 32 && v[0] == 0) v.erase(v.begin());
    std::vector<uint8_t> fixed(32 - v.size(), 0);
    fixed.insert(fixed.end(), v.begin(), v.end());
    out.insert(out.end(), fixed.begin(), fixed.end());
    at += 2 + len;
  }
  return out;
}

class openssl_peer : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = std::filesystem::temp_directory_path() / ("kro-dsa-" + std::to_string(::getpid()));
    std::filesystem::create_directories(m_dir);
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }

  std::string path(const char* name) const { return (m_dir / name).string(); }
  void write(const char* name, const std::vector<uint8_t>& bytes) const {
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<uint8_t> read(const char* name) const {
    const std::string text = read_text(path(name));
    return {text.begin(), text.end()};
  }
  int run(const std::string& command) const { return std::system((command + " >/dev/null 2>&1").c_str()); }
  std::string pem(char key) const { return (key_dir() / (std::string(1, key) + ".pem")).string(); }

  std::filesystem::path m_dir;
};

TEST_F(openssl_peer, openssl_signatures_verify_with_ours) {
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const digest hash = hash_of("openssl made this " + std::to_string(i));
    write("digest.bin", hash.bytes());
    ASSERT_EQ(run("openssl pkeyutl -sign -inkey " + pem('G') + " -in " + path("digest.bin") + " -out " +
                  path("sig.der")),
              0);
    const std::vector<uint8_t> value = value_from_der(read("sig.der"));
    EXPECT_TRUE(dsa::verify_value(hash, value, dsa::table_key('G')));
    EXPECT_TRUE(dsa::verify_key_set(hash, value, dsa::sfx_key_set));
    EXPECT_FALSE(dsa::verify_value(hash, value, dsa::table_key('H')));
  }
}

TEST_F(openssl_peer, our_signatures_verify_with_openssl) {
  ASSERT_EQ(run("openssl pkey -in " + pem('H') + " -pubout -out " + path("pub.pem")), 0);
  const dsa::key_pair& h = dev_key('H');
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    const digest hash = hash_of("we made this " + std::to_string(i));
    write("digest.bin", hash.bytes());
    write("sig.der", kro::test::der_from_value(dsa::sign(hash, h.x, h.params())));
    const std::string verify = "openssl pkeyutl -verify -pubin -inkey " + path("pub.pem") + " -in " +
                               path("digest.bin") + " -sigfile " + path("sig.der");
    EXPECT_EQ(run(verify), 0);
    // OpenSSL is no rubber stamp: a changed digest is refused.
    std::vector<uint8_t> other = hash.bytes();
    other[0] ^= 1;
    write("digest.bin", other);
    EXPECT_NE(run(verify), 0);
  }
}

#endif  // _WIN32

}  // namespace
