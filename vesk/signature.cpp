// Signature checks over Crypto++: DSA with SHA-1, RSASSA-PKCS1-v1_5 with SHA-1, and Ed25519.
#include "vesk/signature.h"

#include <cryptopp/asn.h>
#include <cryptopp/base64.h>
#include <cryptopp/dsa.h>
#include <cryptopp/files.h>
#include <cryptopp/filters.h>
#include <cryptopp/integer.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <cryptopp/xed25519.h>

#include <iostream>
#include <stdexcept>

#include "vesk/tdata.h"

namespace Vesk {

namespace {

using CryptoPP::byte;

const char kBeginPublicKey[] = "-----BEGIN PUBLIC KEY-----";  // 26 characters
const char kEndPublicKey[] = "-----END PUBLIC KEY-----";      // 24 characters

// Raised from inside a check to take the failure path with a clear text.
class InvalidPem {};

const byte* bytesOf(const std::string& s) { return reinterpret_cast<const byte*>(s.data()); }

// Drops line feeds and carriage returns and decodes what is left as Base64 (other characters
// outside the alphabet are skipped by the decoder).
std::string decodeBody(std::string body) {
  std::string compact;
  compact.reserve(body.size());
  for (char c : body)
    if (c != '\n' && c != '\r') compact.push_back(c);
  std::string der;
  CryptoPP::StringSource(compact, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(der)));
  return der;
}

// The DER of the first generic public-key block; throws InvalidPem when either boundary is missing.
std::string publicKeyDer(const std::string& pem) {
  const size_t begin = pem.find(kBeginPublicKey);
  const size_t end = pem.find(kEndPublicKey);
  if (begin == std::string::npos || end == std::string::npos) throw InvalidPem();
  const size_t bodyStart = begin + sizeof kBeginPublicKey - 1;
  const size_t bodyLength = end > bodyStart ? end - bodyStart : std::string::npos;
  return decodeBody(pem.substr(bodyStart, bodyLength));
}

// The DER of a DSA key block: the first PEM block must be labelled "PUBLIC KEY" or
// "DSA PUBLIC KEY" and hold a SubjectPublicKeyInfo.
std::string dsaPublicKeyDer(const std::string& pem) {
  const std::string dashes = "-----";
  const size_t begin = pem.find(dashes + "BEGIN ");
  if (begin == std::string::npos)
    throw CryptoPP::Exception(CryptoPP::Exception::INVALID_DATA_FORMAT, "PEM: no BEGIN line found");
  const size_t labelStart = begin + dashes.size() + 6;
  const size_t labelEnd = pem.find(dashes, labelStart);
  if (labelEnd == std::string::npos)
    throw CryptoPP::Exception(CryptoPP::Exception::INVALID_DATA_FORMAT, "PEM: malformed BEGIN line");
  const std::string label = pem.substr(labelStart, labelEnd - labelStart);
  if (label != "PUBLIC KEY" && label != "DSA PUBLIC KEY")
    throw CryptoPP::Exception(CryptoPP::Exception::INVALID_DATA_FORMAT, "PEM: not a DSA public key: " + label);
  const size_t bodyStart = labelEnd + dashes.size();
  const size_t end = pem.find(dashes + "END " + label + dashes, bodyStart);
  if (end == std::string::npos)
    throw CryptoPP::Exception(CryptoPP::Exception::INVALID_DATA_FORMAT, "PEM: no END line for " + label);
  return decodeBody(pem.substr(bodyStart, end - bodyStart));
}

CryptoPP::DSA::PublicKey loadDsaKey(const std::string& pem) {
  const std::string der = dsaPublicKeyDer(pem);
  CryptoPP::DSA::PublicKey key;
  CryptoPP::StringSource source(der, true);
  key.Load(source);
  CryptoPP::AutoSeededRandomPool rng;
  if (!key.Validate(rng, 3)) throw std::runtime_error("Public key validation failed");
  return key;
}

CryptoPP::ed25519Verifier loadEd25519Verifier(const std::string& pem) {
  const std::string der = publicKeyDer(pem);
  CryptoPP::ed25519Verifier verifier;
  CryptoPP::StringSource source(der, true);
  verifier.AccessPublicKey().Load(source);
  CryptoPP::AutoSeededRandomPool rng;
  if (!verifier.GetPublicKey().Validate(rng, 3)) throw std::runtime_error("Public key validation failed");
  return verifier;
}

// The DER sequence of r and s as the two numbers side by side, each padded to the length of the
// subgroup order. Empty when r or s cannot belong to a signature of this key (such a signature
// cannot match); throws the library's decoding error when the text is not a DER sequence.
std::string dsaSignatureP1363(const std::string& der, const CryptoPP::DSA::Verifier& verifier) {
  CryptoPP::StringSource source(der, true);
  CryptoPP::Integer r, s;
  CryptoPP::BERSequenceDecoder sequence(source);
  r.BERDecode(sequence);
  s.BERDecode(sequence);
  sequence.MessageEnd();
  const size_t half = verifier.SignatureLength() / 2;
  if (source.AnyRetrievable() || r.IsNegative() || s.IsNegative() || r.MinEncodedSize() > half ||
      s.MinEncodedSize() > half)
    return std::string();
  std::string out(2 * half, '\0');
  r.Encode(reinterpret_cast<byte*>(out.data()), half);
  s.Encode(reinterpret_cast<byte*>(out.data()) + half, half);
  return out;
}

// Feeds the signature, then the file, to a verification filter that expects the signature first.
bool verifyFile(const CryptoPP::PK_Verifier& verifier, const std::string& signature, const std::string& path) {
  bool result = false;
  CryptoPP::SignatureVerificationFilter filter(
      verifier, new CryptoPP::ArraySink(reinterpret_cast<byte*>(&result), sizeof result),
      CryptoPP::SignatureVerificationFilter::SIGNATURE_AT_BEGIN | CryptoPP::SignatureVerificationFilter::PUT_RESULT);
  filter.Put(bytesOf(signature), signature.size());
  CryptoPP::FileSource(path.c_str(), true, new CryptoPP::Redirector(filter, CryptoPP::Redirector::DATA_ONLY));
  filter.MessageEnd();
  return result;
}

// Runs one check and turns every failure into false and a line on standard error.
template <class Check>
bool guarded(Check check) {
  try {
    return check();
  } catch (const InvalidPem&) {
    std::cerr << "Invalid PEM format.\n";
  } catch (const CryptoPP::Exception& e) {
    std::cerr << "Crypto++ exception: " << e.what() << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "Standard exception: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "Unknown exception" << std::endl;
  }
  return false;
}

}  // namespace

bool verifyDsaSignature(const std::string& message, const std::string& signature, const std::string& publicKeyPem) {
  return guarded([&] {
    const CryptoPP::DSA::Verifier verifier(loadDsaKey(publicKeyPem));
    const std::string rs = dsaSignatureP1363(signature, verifier);
    if (rs.empty()) return false;
    return verifier.VerifyMessage(bytesOf(message), message.size(), bytesOf(rs), rs.size());
  });
}

bool verifyFileSignatureDsa(const std::string& path, const std::string& signature, const std::string& publicKeyPem) {
  return guarded([&] {
    const CryptoPP::DSA::Verifier verifier(loadDsaKey(publicKeyPem));
    const std::string rs = dsaSignatureP1363(signature, verifier);
    if (rs.empty()) return false;
    return verifyFile(verifier, rs, path);
  });
}

bool verifyEd25519Signature(const std::string& message, const std::string& signature, const std::string& publicKeyPem) {
  return guarded([&] {
    const CryptoPP::ed25519Verifier verifier = loadEd25519Verifier(publicKeyPem);
    // The verifier would read only the first 64 bytes of a longer signature.
    if (signature.size() != CryptoPP::ed25519Verifier::SIGNATURE_LENGTH) return false;
    return verifier.VerifyMessage(bytesOf(message), message.size(), bytesOf(signature), signature.size());
  });
}

bool verifyFileSignatureEd25519(const std::string& path, const std::string& signature, const std::string& publicKeyPem) {
  return guarded([&] {
    const CryptoPP::ed25519Verifier verifier = loadEd25519Verifier(publicKeyPem);
    return verifyFile(verifier, signature, path);
  });
}

bool verifyRsaSignaturePem(const std::shared_ptr<TData>& message, const std::shared_ptr<TData>& signature,
                           const std::string& publicKeyPem) {
  return guarded([&] {
    if (!message || !signature) throw std::invalid_argument("missing message or signature");
    const std::string der = publicKeyDer(publicKeyPem);
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier;
    CryptoPP::StringSource source(der, true);
    verifier.AccessKey().Load(source);
    static const byte nothing = 0;
    const byte* m = message->bytes() != nullptr ? message->bytes() : &nothing;
    const byte* s = signature->bytes() != nullptr ? signature->bytes() : &nothing;
    return verifier.VerifyMessage(m, message->length(), s, signature->length());
  });
}

}  // namespace Vesk
