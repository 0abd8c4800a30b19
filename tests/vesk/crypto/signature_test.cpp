// Signature checks with keys made here: DSA, RSA and Ed25519, valid and spoiled in every way.
#include "vesk/signature.h"

#include <gtest/gtest.h>

#include <cryptopp/base64.h>
#include <cryptopp/dsa.h>
#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <cryptopp/xed25519.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "bytes.h"
#include "vesk/crypto.h"
#include "vesk/tdata.h"

using namespace cryptotest;

namespace {

// PEM armor around DER: the body wrapped at 64 columns with the given line end.
std::string armor(const std::string& der, const std::string& label = "PUBLIC KEY", const std::string& eol = "\n") {
  std::string body;
  CryptoPP::StringSource(der, true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(body), false));
  std::string pem = "-----BEGIN " + label + "-----" + eol;
  for (size_t i = 0; i < body.size(); i += 64) pem += body.substr(i, 64) + eol;
  return pem + "-----END " + label + "-----" + eol;
}

template <class Key>
std::string der(const Key& key) {
  std::string out;
  CryptoPP::StringSink sink(out);
  key.Save(sink);
  return out;
}

template <class Signer>
std::string sign(const Signer& signer, const std::string& message) {
  CryptoPP::AutoSeededRandomPool rng;
  std::string signature;
  CryptoPP::StringSource(message, true, new CryptoPP::SignerFilter(rng, signer, new CryptoPP::StringSink(signature)));
  return signature;
}

// The keys are made once for the whole suite: DSA parameters take a while.
struct Keys {
  CryptoPP::AutoSeededRandomPool rng;
  CryptoPP::DSA::PrivateKey dsa, dsaOther;
  CryptoPP::RSA::PrivateKey rsa, rsaOther;
  CryptoPP::ed25519Signer ed, edOther;
  std::string dsaPem, dsaOtherPem, rsaPem, rsaOtherPem, edPem, edOtherPem;

  Keys() : ed(rng), edOther(rng) {
    dsa.GenerateRandomWithKeySize(rng, 1024);
    // Same group, another key: only y differs.
    dsaOther.Initialize(rng, dsa.GetGroupParameters().GetModulus(), dsa.GetGroupParameters().GetSubgroupOrder(),
                        dsa.GetGroupParameters().GetSubgroupGenerator());
    rsa.GenerateRandomWithKeySize(rng, 1024);
    rsaOther.GenerateRandomWithKeySize(rng, 1024);
    CryptoPP::DSA::PublicKey dsaPublic, dsaOtherPublic;
    dsa.MakePublicKey(dsaPublic);
    dsaOther.MakePublicKey(dsaOtherPublic);
    dsaPem = armor(der(dsaPublic));
    dsaOtherPem = armor(der(dsaOtherPublic));
    rsaPem = armor(der(CryptoPP::RSA::PublicKey(rsa)));
    rsaOtherPem = armor(der(CryptoPP::RSA::PublicKey(rsaOther)));
    edPem = armor(der(CryptoPP::ed25519Verifier(ed).GetPublicKey()));
    edOtherPem = armor(der(CryptoPP::ed25519Verifier(edOther).GetPublicKey()));
  }
  std::string signDsa(const std::string& m) { return derSignature(sign(CryptoPP::DSA::Signer(dsa), m)); }
  std::string signRsa(const std::string& m) { return sign(CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer(rsa), m); }
  std::string signEd(const std::string& m) { return sign(ed, m); }

  static std::string derSignature(const std::string& p1363) {
    std::string out(p1363.size() + 16, '\0');
    const size_t n = CryptoPP::DSAConvertSignatureFormat(
        reinterpret_cast<CryptoPP::byte*>(out.data()), out.size(), CryptoPP::DSA_DER,
        reinterpret_cast<const CryptoPP::byte*>(p1363.data()), p1363.size(), CryptoPP::DSA_P1363);
    out.resize(n);
    return out;
  }
};

Keys& keys() {
  static Keys k;
  return k;
}

// Runs a check and returns its answer and what it wrote to standard error.
std::pair<bool, std::string> check(const std::function<bool()>& f) {
  testing::internal::CaptureStderr();
  const bool result = f();
  return {result, testing::internal::GetCapturedStderr()};
}

std::string flipLast(std::string s) {
  s.back() = static_cast<char>(s.back() ^ 1);
  return s;
}

// The DER inside an armored key made by armor().
std::string derOf(const std::string& pem) {
  const size_t body = pem.find('\n') + 1;
  return Vesk::base64Decode(pem.substr(body, pem.find("-----END") - body));
}

std::string withoutEndLine(const std::string& pem) { return pem.substr(0, pem.find("-----END")); }

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

class TempFile {
 public:
  TempFile(const std::string& name, const std::string& bytes)
      : path_((std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))).string()) {
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

using Verify = std::function<bool(const std::string& message, const std::string& signature, const std::string& pem)>;

struct Scheme {
  const char* name;
  Verify verify;
  std::function<std::string(const std::string&)> sign;
  std::string pem, otherPem, foreignPem;  // own key, another key of the scheme, a key of another scheme
};

std::vector<Scheme> schemes() {
  Keys& k = keys();
  const auto rsaVerify = [](const std::string& m, const std::string& s, const std::string& pem) {
    return Vesk::verifyRsaSignaturePem(data(m), data(s), pem);
  };
  return {
      {"DSA", &Vesk::verifyDsaSignature, [&k](const std::string& m) { return k.signDsa(m); }, k.dsaPem, k.dsaOtherPem, k.rsaPem},
      {"Ed25519", &Vesk::verifyEd25519Signature, [&k](const std::string& m) { return k.signEd(m); }, k.edPem, k.edOtherPem,
       k.rsaPem},
      {"RSA", rsaVerify, [&k](const std::string& m) { return k.signRsa(m); }, k.rsaPem, k.rsaOtherPem, k.edPem},
  };
}

}  // namespace

TEST(Signatures, TableOfValidAndSpoiledCasesForEveryScheme) {
  // The update check signs a raw SHA-1 digest; any bytes will do as the message.
  const std::string message = fromHex("a9993e364706816aba3e25717850c26c9cd0d89d");
  for (const Scheme& s : schemes()) {
    SCOPED_TRACE(s.name);
    const std::string signature = s.sign(message);
    const struct {
      const char* what;
      std::string message, signature, pem;
      bool result;
      std::string stderrPrefix;  // "" means nothing written
    } cases[] = {
        {"valid", message, signature, s.pem, true, ""},
        {"CR LF lines", message, signature, armor(derOf(s.pem), "PUBLIC KEY", "\r\n"), true, ""},
        {"tampered data", flipLast(message), signature, s.pem, false, ""},
        {"tampered signature", message, flipLast(signature), s.pem, false, ""},
        {"wrong key", message, signature, s.otherPem, false, ""},
        {"wrong scheme", message, signature, s.foreignPem, false, "Crypto++ exception: "},
        {"garbage key body", message, signature, armor("not a key at all"), false, "Crypto++ exception: "},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      const auto [result, err] = check([&] { return s.verify(c.message, c.signature, c.pem); });
      EXPECT_EQ(result, c.result);
      if (c.stderrPrefix.empty())
        EXPECT_EQ(err, "");
      else
        EXPECT_TRUE(startsWith(err, c.stderrPrefix)) << err;
    }
  }
}

TEST(Signatures, PemArmorOfEd25519AndRsaKeys) {
  const std::string message = "payload digest";
  for (const Scheme& s : schemes()) {
    if (std::string(s.name) == "DSA") continue;
    SCOPED_TRACE(s.name);
    const std::string signature = s.sign(message);
    const std::string body = s.pem.substr(s.pem.find('\n') + 1, s.pem.find("-----END") - s.pem.find('\n') - 1);
    // An unwrapped body, and text around the block, verify the same.
    std::string flat = body;
    std::erase(flat, '\n');
    EXPECT_TRUE(s.verify(message, signature, "-----BEGIN PUBLIC KEY-----" + flat + "-----END PUBLIC KEY-----"));
    EXPECT_TRUE(s.verify(message, signature, "key follows\n" + s.pem + "trailer\n"));
    const std::string bads[] = {withoutEndLine(s.pem), s.pem.substr(s.pem.find('\n') + 1), std::string(),
                                armor(derOf(s.pem), "RSA PUBLIC KEY")};
    for (const std::string& bad : bads) {
      const auto [result, err] = check([&] { return s.verify(message, signature, bad); });
      EXPECT_FALSE(result);
      EXPECT_EQ(err, "Invalid PEM format.\n");
    }
  }
}

TEST(Signatures, DsaKeyLabelsSignatureEncodingAndKeyValidation) {
  Keys& k = keys();
  const std::string message = "message";
  const std::string signature = k.signDsa(message);
  const std::string keyDer = derOf(k.dsaPem);
  EXPECT_TRUE(Vesk::verifyDsaSignature(message, signature, armor(keyDer, "DSA PUBLIC KEY")));

  const auto expectError = [&](const std::string& sig, const std::string& pem, const std::string& prefix) {
    const auto [result, err] = check([&] { return Vesk::verifyDsaSignature(message, sig, pem); });
    EXPECT_FALSE(result);
    EXPECT_TRUE(startsWith(err, prefix)) << err;
  };
  expectError(signature, armor(keyDer, "RSA PUBLIC KEY"), "Crypto++ exception: ");
  expectError(signature, withoutEndLine(k.dsaPem), "Crypto++ exception: ");
  expectError(signature, "", "Crypto++ exception: ");
  expectError(std::string("\x02\x01\x01", 3), k.dsaPem, "Crypto++ exception: ");  // not a sequence
  expectError(signature.substr(0, signature.size() - 1), k.dsaPem, "Crypto++ exception: ");

  // A public key that fails validation is refused even with a matching signature shape.
  const auto& group = k.dsa.GetGroupParameters();
  CryptoPP::DSA::PublicKey broken;
  broken.Initialize(group.GetModulus(), group.GetSubgroupOrder(), group.GetSubgroupGenerator(),
                    k.dsa.GetPrivateExponent() + group.GetModulus());  // y out of range
  expectError(signature, armor(der(broken)), "Standard exception: Public key validation failed");

  // Encodings of r and s that are not the canonical ones are not accepted.
  CryptoPP::Integer r, s;
  {
    CryptoPP::StringSource src(signature, true);
    CryptoPP::BERSequenceDecoder seq(src);
    r.BERDecode(seq);
    s.BERDecode(seq);
  }
  const auto encode = [](const CryptoPP::Integer& a, const CryptoPP::Integer& b, const std::string& trailer) {
    std::string out;
    CryptoPP::StringSink sink(out);
    CryptoPP::DERSequenceEncoder seq(sink);
    a.DEREncode(seq);
    b.DEREncode(seq);
    seq.MessageEnd();
    return out + trailer;
  };
  EXPECT_TRUE(Vesk::verifyDsaSignature(message, encode(r, s, ""), k.dsaPem));
  const CryptoPP::Integer shift = CryptoPP::Integer::Power2(8 * group.GetSubgroupOrder().ByteCount());
  const auto [shifted, e1] = check([&] { return Vesk::verifyDsaSignature(message, encode(r + shift, s, ""), k.dsaPem); });
  EXPECT_FALSE(shifted);
  EXPECT_EQ(e1, "");
  const auto [trailing, e2] = check([&] { return Vesk::verifyDsaSignature(message, encode(r, s, "x"), k.dsaPem); });
  EXPECT_FALSE(trailing);
}

TEST(Signatures, Ed25519SignatureMustBeExactly64Bytes) {
  Keys& k = keys();
  const std::string signature = k.signEd("m");
  EXPECT_TRUE(Vesk::verifyEd25519Signature("m", signature, k.edPem));
  EXPECT_FALSE(Vesk::verifyEd25519Signature("m", signature + "x", k.edPem));
  EXPECT_FALSE(Vesk::verifyEd25519Signature("m", signature.substr(0, 63), k.edPem));
}

TEST(Signatures, FileFormsStreamTheFile) {
  Keys& k = keys();
  const std::string contents = pattern(200000, 3);
  TempFile file("vesk-signed", contents);
  TempFile tampered("vesk-tampered", flipLast(contents));
  TempFile empty("vesk-empty", "");
  const std::string missing = file.path() + ".missing";
  const struct {
    const char* name;
    std::function<bool(const std::string&, const std::string&, const std::string&)> verify;
    std::string signature, pem;
  } forms[] = {
      {"DSA", &Vesk::verifyFileSignatureDsa, k.signDsa(contents), k.dsaPem},
      {"Ed25519", &Vesk::verifyFileSignatureEd25519, k.signEd(contents), k.edPem},
  };
  for (const auto& f : forms) {
    SCOPED_TRACE(f.name);
    EXPECT_TRUE(f.verify(file.path(), f.signature, f.pem));
    // Same message, the other form.
    if (std::string(f.name) == "DSA") {
      EXPECT_TRUE(Vesk::verifyDsaSignature(contents, f.signature, f.pem));
    }
    const auto [bad, e1] = check([&] { return f.verify(tampered.path(), f.signature, f.pem); });
    EXPECT_FALSE(bad);
    EXPECT_EQ(e1, "");
    EXPECT_FALSE(f.verify(file.path(), f.signature, std::string(f.name) == "DSA" ? k.dsaOtherPem : k.edOtherPem));
    const auto [none, e2] = check([&] { return f.verify(missing, f.signature, f.pem); });
    EXPECT_FALSE(none);
    EXPECT_TRUE(startsWith(e2, "Crypto++ exception: ")) << e2;
    EXPECT_NE(e2.find(missing), std::string::npos) << e2;
  }
  // A short signature shifts bytes between signature and file: no match.
  const std::string edSignature = k.signEd(contents);
  EXPECT_FALSE(check([&] { return Vesk::verifyFileSignatureEd25519(file.path(), edSignature.substr(0, 63), k.edPem); }).first);
  EXPECT_FALSE(check([&] { return Vesk::verifyFileSignatureEd25519(empty.path(), edSignature.substr(0, 63), k.edPem); }).first);
  EXPECT_TRUE(Vesk::verifyFileSignatureEd25519(empty.path(), k.signEd(""), k.edPem));
}

TEST(Signatures, RsaNeedsBothBuffers) {
  Keys& k = keys();
  const std::string signature = k.signRsa("m");
  EXPECT_TRUE(Vesk::verifyRsaSignaturePem(data("m"), data(signature), k.rsaPem));
  EXPECT_FALSE(check([&] { return Vesk::verifyRsaSignaturePem(nullptr, data(signature), k.rsaPem); }).first);
  EXPECT_FALSE(check([&] { return Vesk::verifyRsaSignaturePem(data("m"), nullptr, k.rsaPem); }).first);
  EXPECT_FALSE(check([&] { return Vesk::verifyRsaSignaturePem(data("m"), std::make_shared<Vesk::TData>(), k.rsaPem); }).first);
  // An over-long signature is an error, not a match.
  EXPECT_FALSE(check([&] { return Vesk::verifyRsaSignaturePem(data("m"), data(signature + "x"), k.rsaPem); }).first);
}
