#include "net/win/schannel_engine.h"

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>  // UNICODE_STRING, which SCH_CREDENTIALS uses
#define SCHANNEL_USE_BLACKLISTS
#include <bcrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace net {

namespace {

// The policy check's own flags (wininet.h), for the checks made apart.
constexpr DWORD kIgnoreNameInvalid = 0x00001000;  // SECURITY_FLAG_IGNORE_CERT_CN_INVALID
constexpr DWORD kIgnoreRevocation = 0x00000080;   // SECURITY_FLAG_IGNORE_REVOCATION

constexpr DWORD kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                           ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                           ISC_REQ_EXTENDED_ERROR | ISC_REQ_MANUAL_CRED_VALIDATION;
constexpr DWORD kBelowTls12 =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;

bool SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text)
        out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');  // names are ASCII
    return out;
}

// Alerts the server may send in the clear during the handshake, named as
// OpenSSL names them.
const char* AlertName(int description) {
    switch (description) {
        case 10: return "sslv3 alert unexpected message";
        case 20: return "sslv3 alert bad record mac";
        case 40: return "sslv3 alert handshake failure";
        case 42: return "sslv3 alert bad certificate";
        case 47: return "sslv3 alert illegal parameter";
        case 48: return "tlsv1 alert unknown ca";
        case 50: return "tlsv1 alert decode error";
        case 51: return "tlsv1 alert decrypt error";
        case 70: return "tlsv1 alert protocol version";
        case 71: return "tlsv1 alert insufficient security";
        case 80: return "tlsv1 alert internal error";
        case 112: return "tlsv1 unrecognized name";
        default: return nullptr;
    }
}

std::string StatusReason(SECURITY_STATUS status) {
    switch (status) {
        case SEC_E_UNSUPPORTED_FUNCTION:
        case SEC_E_ALGORITHM_MISMATCH:
            return "unsupported protocol";
        case SEC_E_ILLEGAL_MESSAGE:
            return "unexpected message";
        case SEC_E_DECRYPT_FAILURE:
        case SEC_E_MESSAGE_ALTERED:
            return "decryption failed or bad record mac";
        default: {
            char text[32];
            std::snprintf(text, sizeof text, "error 0x%08lx", static_cast<unsigned long>(status));
            return text;
        }
    }
}

// The trust verdict of one chain, in OpenSSL's words; empty when trusted.
// The chain's own status is required clean besides the policy: with only
// the server's certificate sent and the wrong authority, Wine's policy
// check passes a chain that never reached a root.
std::string ChainProblem(PCCERT_CONTEXT cert, HCERTCHAINENGINE engine) {
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(engine, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain))
        return "the server's certificate is not trusted (certificate verify failed)";
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = kIgnoreNameInvalid | kIgnoreRevocation;  // the name is checked apart
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS verdict{};
    verdict.cbSize = sizeof verdict;
    const BOOL checked =
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &verdict);
    const DWORD bad = chain->TrustStatus.dwErrorStatus &
                      ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                          CERT_TRUST_IS_OFFLINE_REVOCATION);
    const DWORD elements = chain->cChain > 0 ? chain->rgpChain[0]->cElement : 0;
    CertFreeCertificateChain(chain);
    const char* why = nullptr;
    if (bad & CERT_TRUST_IS_PARTIAL_CHAIN)
        why = "unable to get local issuer certificate";
    else if (bad & CERT_TRUST_IS_UNTRUSTED_ROOT)
        why = elements <= 1 ? "self-signed certificate" : "self-signed certificate in certificate chain";
    else if (bad & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
        why = "certificate signature failure";
    else if (bad & CERT_TRUST_IS_REVOKED)
        why = "certificate revoked";
    else if (bad & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        why = "unsuitable certificate purpose";
    else if (bad & CERT_TRUST_IS_NOT_TIME_VALID)
        return "the server's certificate has expired or is not yet valid";
    else if (bad != 0 || !checked || verdict.dwError != 0) {
        switch (static_cast<HRESULT>(verdict.dwError)) {
            case CERT_E_EXPIRED:
                return "the server's certificate has expired or is not yet valid";
            case CERT_E_UNTRUSTEDROOT:
                why = elements <= 1 ? "self-signed certificate"
                                    : "self-signed certificate in certificate chain";
                break;
            case CERT_E_CHAINING:
                why = "unable to get local issuer certificate";
                break;
            default:
                why = "certificate verify failed";
                break;
        }
    }
    if (why == nullptr) return {};
    return std::string("the server's certificate is not trusted (") + why + ")";
}

// The configured name among the certificate's: DNS names of the
// alternative names, the common name only when there are none; an address
// only among the alternative addresses.
bool NameOnCertificate(PCCERT_CONTEXT cert, const std::string& host, const unsigned char* address,
                       int addressLength) {
    bool sawDnsName = false;
    PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                            cert->pCertInfo->rgExtension);
    if (ext != nullptr) {
        CERT_ALT_NAME_INFO* info = nullptr;
        DWORD size = 0;
        if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                                ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info,
                                &size)) {
            bool found = false;
            for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
                const CERT_ALT_NAME_ENTRY& entry = info->rgAltEntry[i];
                if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                    sawDnsName = true;
                    found = addressLength == 0 &&
                            CertificateNameMatches(Narrow(entry.pwszDNSName), host);
                } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
                    found = addressLength > 0 &&
                            entry.IPAddress.cbData == static_cast<DWORD>(addressLength) &&
                            std::memcmp(entry.IPAddress.pbData, address, addressLength) == 0;
                }
            }
            LocalFree(info);
            if (found) return true;
        }
    }
    if (addressLength > 0 || sawDnsName) return false;
    wchar_t common[256] = L"";
    CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), common,
                       256);
    return common[0] != 0 && CertificateNameMatches(Narrow(common), host);
}

bool Sha256(const unsigned char* data, DWORD length, unsigned char digest[32]) {
    // mingw's headers lack the ready-made SHA-256 handle: open the provider.
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        return false;
    const NTSTATUS status =
        BCryptHash(provider, nullptr, 0, const_cast<PUCHAR>(data), length, digest, 32);
    BCryptCloseAlgorithmProvider(provider, 0);
    return status == 0;
}

}  // namespace

bool CertificateNameMatches(const std::string& pattern, const std::string& host) {
    if (pattern.empty() || host.empty()) return false;
    if (SameText(pattern, host)) return true;
    if (pattern.size() < 3 || pattern[0] != '*' || pattern[1] != '.') return false;
    const std::string rest = pattern.substr(2);
    // At least two labels behind the wildcard, as OpenSSL asks.
    if (rest.find('.') == std::string::npos || rest.find('*') != std::string::npos) return false;
    const std::size_t dot = host.find('.');
    if (dot == 0 || dot == std::string::npos) return false;
    return SameText(host.substr(dot + 1), rest);
}

struct CSchannelEngine::State {
    CredHandle cred{};
    CtxtHandle ctx{};
    bool haveCred = false;
    bool haveCtx = false;
    std::wstring target;  // empty for an address: no name to send
    std::string host;
    unsigned char address[16] = {};
    int addressLength = 0;
    std::vector<unsigned char> pin;
    HCERTSTORE authorities = nullptr;  // the CA file's, or null
    std::vector<char> in;
    std::vector<char> out;
    std::vector<char> plain;
    std::size_t plainRead = 0;
    SecPkgContext_StreamSizes sizes{};
    DWORD protocol = 0;
    bool secured = false;
    bool closed = false;
    bool failed = false;
    int alert = -1;  // the description of a clear alert from the server
    std::string problem;

    ~State() {
        if (haveCtx) DeleteSecurityContext(&ctx);
        if (haveCred) FreeCredentialsHandle(&cred);
        if (authorities != nullptr) CertCloseStore(authorities, 0);
    }

    void Append(const SecBuffer& buffer) {
        if (buffer.pvBuffer == nullptr) return;
        const char* p = static_cast<const char*>(buffer.pvBuffer);
        out.insert(out.end(), p, p + buffer.cbBuffer);
        FreeContextBuffer(buffer.pvBuffer);
    }

    // Leaves in the input only what Schannel did not use.
    void KeepExtra(const SecBuffer& extra) {
        if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer > 0 && extra.cbBuffer <= in.size())
            in.erase(in.begin(), in.end() - extra.cbBuffer);
        else
            in.clear();
    }

    bool LoadAuthorities(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        if (!file) return false;
        const std::string pem((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        authorities = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
        if (authorities == nullptr) return false;
        static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
        static const std::string kEnd = "-----END CERTIFICATE-----";
        int loaded = 0;
        for (std::size_t pos = 0; (pos = pem.find(kBegin, pos)) != std::string::npos;) {
            std::size_t end = pem.find(kEnd, pos);
            if (end == std::string::npos) break;
            end += kEnd.size();
            const std::string one = pem.substr(pos, end - pos);
            pos = end;
            DWORD length = 0;
            if (!CryptStringToBinaryA(one.c_str(), static_cast<DWORD>(one.size()),
                                      CRYPT_STRING_BASE64HEADER, nullptr, &length, nullptr,
                                      nullptr))
                continue;
            std::vector<BYTE> der(length);
            if (CryptStringToBinaryA(one.c_str(), static_cast<DWORD>(one.size()),
                                     CRYPT_STRING_BASE64HEADER, der.data(), &length, nullptr,
                                     nullptr) &&
                CertAddEncodedCertificateToStore(authorities, X509_ASN_ENCODING, der.data(),
                                                 length, CERT_STORE_ADD_ALWAYS, nullptr))
                ++loaded;
        }
        return loaded > 0;  // a file without a certificate is as good as none
    }

    bool AcquireCredentials() {
        TimeStamp expiry;
        const DWORD flags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        TLS_PARAMETERS tls{};
        tls.grbitDisabledProtocols = kBelowTls12;
        SCH_CREDENTIALS current{};
        current.dwVersion = SCH_CREDENTIALS_VERSION;
        current.dwFlags = flags | SCH_USE_STRONG_CRYPTO;
        current.cTlsParameters = 1;
        current.pTlsParameters = &tls;
        if (AcquireCredentialsHandleW(nullptr, const_cast<LPWSTR>(UNISP_NAME_W),
                                      SECPKG_CRED_OUTBOUND, nullptr, &current, nullptr, nullptr,
                                      &cred, &expiry) == SEC_E_OK)
            return haveCred = true;
        // Systems before Windows 10 1809 know only the older structure.
        SCHANNEL_CRED older{};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.dwFlags = flags;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        if (AcquireCredentialsHandleW(nullptr, const_cast<LPWSTR>(UNISP_NAME_W),
                                      SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr, nullptr,
                                      &cred, &expiry) == SEC_E_OK)
            return haveCred = true;
        return false;
    }

    // One call of the handshake; input may be empty only for the first.
    SECURITY_STATUS Step(bool first) {
        SecBuffer input[2] = {{static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN, in.data()},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
        SecBuffer output[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
        SecBufferDesc outputDesc{SECBUFFER_VERSION, 2, output};
        DWORD attributes = 0;
        TimeStamp expiry;
        const SECURITY_STATUS status = InitializeSecurityContextW(
            &cred, first ? nullptr : &ctx,
            target.empty() ? nullptr : const_cast<SEC_WCHAR*>(target.c_str()), kRequest, 0, 0,
            first ? nullptr : &inputDesc, 0, first ? &ctx : nullptr, &outputDesc, &attributes,
            &expiry);
        if (first && (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)) haveCtx = true;
        if (status != SEC_E_INCOMPLETE_MESSAGE) {
            Append(output[0]);
            Append(output[1]);  // the alert that tells the server why
            if (!first) KeepExtra(input[1]);
        }
        return status;
    }

    // Judges the server once the handshake is through; the problem or empty.
    std::string Verify() {
        SecPkgContext_ConnectionInfo info{};
        if (QueryContextAttributesW(&ctx, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
            return "the TLS handshake failed (no connection information)";
        protocol = info.dwProtocol;
        // The credentials ask for TLS 1.2 or later, but Wine's Schannel
        // ignores the protocols they disable and agrees to TLS 1.1 with a
        // server that offers no more; so the result is checked here, before
        // anything but the handshake has gone.
        if ((protocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) == 0)
            return "the TLS handshake failed (unsupported protocol)";
        if (QueryContextAttributesW(&ctx, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK ||
            sizes.cbMaximumMessage == 0)
            return "the TLS handshake failed (no stream sizes)";
        PCCERT_CONTEXT cert = nullptr;
        if (QueryContextAttributesW(&ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
            cert == nullptr)
            return "the TLS handshake failed (no certificate)";
        std::string why;
        if (!pin.empty()) {
            // With a pin the certificate is judged by the pin alone.
            unsigned char digest[32];
            if (!Sha256(cert->pbCertEncoded, cert->cbCertEncoded, digest) ||
                std::memcmp(digest, pin.data(), 32) != 0)
                why = "the server's certificate does not match TlsFingerprint";
        } else {
            why = ChainProblem(cert, HCCE_CURRENT_USER);
            if (!why.empty() && authorities != nullptr) {
                CERT_CHAIN_ENGINE_CONFIG config{};
                // Wine takes only the size without the Windows 8 fields.
                config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
                config.hExclusiveRoot = authorities;
                HCERTCHAINENGINE engine = nullptr;
                if (CertCreateCertificateChainEngine(&config, &engine)) {
                    why = ChainProblem(cert, engine);
                    CertFreeCertificateChainEngine(engine);
                }
            }
            if (why.empty() && !NameOnCertificate(cert, host, address, addressLength))
                why = "the server's certificate does not match the server name " + host;
        }
        CertFreeCertificateContext(cert);
        return why;
    }

    CSchannelEngine::Result Fail(const std::string& why) {
        failed = true;
        problem = why;
        return CSchannelEngine::Failed;
    }
};

CSchannelEngine::CSchannelEngine() : s_(std::make_unique<State>()) {}

CSchannelEngine::~CSchannelEngine() = default;

bool CSchannelEngine::Start(const std::string& host, const std::string& caFile,
                            const std::vector<unsigned char>& pin) {
    s_ = std::make_unique<State>();
    State& s = *s_;
    s.host = host;
    s.pin = pin;
    if (InetPtonA(AF_INET, host.c_str(), s.address) == 1) {
        s.addressLength = 4;
    } else if (InetPtonA(AF_INET6, host.c_str(), s.address) == 1) {
        s.addressLength = 16;
    } else {
        for (const char c : host) s.target.push_back(static_cast<unsigned char>(c));
    }
    if (!caFile.empty() && !s.LoadAuthorities(caFile)) {
        s.problem = "the CA file " + caFile + " cannot be read";
        return false;
    }
    if (!s.AcquireCredentials()) {
        s.problem = "TLS cannot be set up";
        return false;
    }
    const SECURITY_STATUS status = s.Step(true);
    if (status != SEC_I_CONTINUE_NEEDED) {
        s.problem = "TLS cannot be set up";
        return false;
    }
    return true;
}

void CSchannelEngine::Feed(const char* data, std::size_t length) {
    if (!s_->haveCtx) return;
    if (!s_->secured && s_->in.empty() && length >= 7 && data[0] == 0x15)
        s_->alert = static_cast<unsigned char>(data[6]);  // a clear alert: level, description
    s_->in.insert(s_->in.end(), data, data + length);
}

std::size_t CSchannelEngine::OutputPending() const {
    return s_->out.size();
}

std::vector<char> CSchannelEngine::TakeOutput() {
    std::vector<char> taken;
    taken.swap(s_->out);
    return taken;
}

CSchannelEngine::Result CSchannelEngine::Handshake() {
    State& s = *s_;
    if (s.secured) return Done;
    if (s.failed || !s.haveCtx) return Failed;
    for (int round = 0; round < 64; ++round) {
        if (s.in.empty()) return WantRead;
        const SECURITY_STATUS status = s.Step(false);
        switch (status) {
            case SEC_E_INCOMPLETE_MESSAGE:
                return WantRead;
            case SEC_I_CONTINUE_NEEDED:
            case SEC_I_INCOMPLETE_CREDENTIALS:  // no client certificate: go on without
                continue;
            case SEC_E_OK: {
                const std::string why = s.Verify();
                if (!why.empty()) return s.Fail(why);
                s.secured = true;
                return Done;
            }
            default: {
                const char* alert = s.alert >= 0 ? AlertName(s.alert) : nullptr;
                return s.Fail(std::string("the TLS handshake failed (") +
                              (alert != nullptr ? alert : StatusReason(status).c_str()) + ")");
            }
        }
    }
    return s.Fail("the TLS handshake failed (too many rounds)");
}

CSchannelEngine::Result CSchannelEngine::Read(void* buffer, int room, int& got) {
    State& s = *s_;
    got = 0;
    for (;;) {
        const std::size_t waiting = s.plain.size() - s.plainRead;
        if (waiting > 0 && room > 0) {
            const std::size_t n = std::min<std::size_t>(waiting, static_cast<std::size_t>(room));
            std::memcpy(buffer, s.plain.data() + s.plainRead, n);
            s.plainRead += n;
            if (s.plainRead == s.plain.size()) {
                s.plain.clear();
                s.plainRead = 0;
            }
            got = static_cast<int>(n);
            return Done;
        }
        if (s.failed || !s.secured) return Failed;
        if (s.closed) return PeerClosed;
        if (s.in.empty()) return WantRead;
        SecBuffer buffers[4] = {{static_cast<unsigned long>(s.in.size()), SECBUFFER_DATA, s.in.data()},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = DecryptMessage(&s.ctx, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return WantRead;
        if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
            s.Fail("TLS record failed: " + StatusReason(status));
            return Failed;
        }
        std::vector<char> extra;
        for (const SecBuffer& b : buffers) {
            const char* p = static_cast<const char*>(b.pvBuffer);
            if (b.BufferType == SECBUFFER_DATA && p != nullptr)
                s.plain.insert(s.plain.end(), p, p + b.cbBuffer);
            if (b.BufferType == SECBUFFER_EXTRA && p != nullptr) extra.assign(p, p + b.cbBuffer);
        }
        s.in.swap(extra);
        if (status == SEC_I_CONTEXT_EXPIRED) {
            s.closed = true;  // the server's TLS close
            continue;         // what came before it is still read
        }
        if (status == SEC_I_RENEGOTIATE) {
            // Handshake messages after the handshake (a TLS 1.3 ticket, a
            // renegotiation): Schannel wants them back through the
            // handshake call.
            const SECURITY_STATUS again = s.in.empty() ? SEC_E_OK : s.Step(false);
            if (again != SEC_E_OK && again != SEC_I_CONTINUE_NEEDED) {
                s.Fail("TLS record failed: " + StatusReason(again));
                return Failed;
            }
        }
    }
}

bool CSchannelEngine::Write(const void* buffer, int length) {
    State& s = *s_;
    if (!s.secured || s.failed || length < 0) return false;
    const char* p = static_cast<const char*>(buffer);
    while (length > 0) {
        const unsigned long n =
            std::min<unsigned long>(static_cast<unsigned long>(length), s.sizes.cbMaximumMessage);
        std::vector<char> record(s.sizes.cbHeader + n + s.sizes.cbTrailer);
        std::memcpy(record.data() + s.sizes.cbHeader, p, n);
        SecBuffer buffers[4] = {
            {s.sizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {n, SECBUFFER_DATA, record.data() + s.sizes.cbHeader},
            {s.sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + s.sizes.cbHeader + n},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&s.ctx, 0, &desc, 0) != SEC_E_OK) return false;
        // The trailer may come out shorter than its room.
        const std::size_t made = buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer;
        s.out.insert(s.out.end(), record.data(), record.data() + made);
        p += n;
        length -= static_cast<int>(n);
    }
    return true;
}

void CSchannelEngine::Shutdown() {
    State& s = *s_;
    if (!s.haveCtx || !s.secured) return;
    DWORD kind = SCHANNEL_SHUTDOWN;
    SecBuffer token{sizeof kind, SECBUFFER_TOKEN, &kind};
    SecBufferDesc tokenDesc{SECBUFFER_VERSION, 1, &token};
    if (ApplyControlToken(&s.ctx, &tokenDesc) != SEC_E_OK) return;
    SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, &output};
    DWORD attributes = 0;
    TimeStamp expiry;
    InitializeSecurityContextW(&s.cred, &s.ctx,
                               s.target.empty() ? nullptr : const_cast<SEC_WCHAR*>(s.target.c_str()),
                               kRequest, 0, 0, nullptr, 0, nullptr, &outputDesc, &attributes,
                               &expiry);
    s.Append(output);
}

std::size_t CSchannelEngine::PlainPending() const {
    return s_->plain.size() - s_->plainRead;
}

std::size_t CSchannelEngine::CipherPending() const {
    return s_->in.size();
}

bool CSchannelEngine::Secured() const {
    return s_->secured;
}

const std::string& CSchannelEngine::Problem() const {
    return s_->problem;
}

std::string CSchannelEngine::Protocol() const {
    const DWORD p = s_->protocol;
    if (p & SP_PROT_TLS1_3_CLIENT) return "TLS 1.3";
    if (p & SP_PROT_TLS1_2_CLIENT) return "TLS 1.2";
    if (p & SP_PROT_TLS1_1_CLIENT) return "TLS 1.1";
    if (p & SP_PROT_TLS1_0_CLIENT) return "TLS 1.0";
    return {};
}

}  // namespace net
