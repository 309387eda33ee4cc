#include "link/netstream.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "link/interrupt.h"

inline namespace tesmora {
namespace link {

namespace {

using Clock = std::chrono::steady_clock;

class Plain final : public ByteStream
{
public:
    explicit Plain(int fd) : ByteStream(fd) {}
    ~Plain() override
    {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
    }
    ssize_t Read(uint8_t* into, size_t size) override
    {
        const ssize_t r = ::recv(fd_, into, size, MSG_DONTWAIT);
        if (r > 0)
            return r;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return 0;
        return -1;
    }
    ssize_t Write(const uint8_t* data, size_t size, short& events) override
    {
        const ssize_t w = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0)
            return w;
        if (w == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            events = POLLOUT;
            return 0;
        }
        return -1;
    }
};

struct CtxFree
{
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree
{
    void operator()(SSL* s) const { SSL_free(s); }
};

std::string LibraryReason()
{
    const unsigned long e = ERR_peek_last_error();
    const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
    return reason != nullptr ? reason : "the connection ended";
}

// The socket under TLS, written with MSG_NOSIGNAL: a server gone must end
// the connection, not the process (the library's own socket BIO would raise
// SIGPIPE, which the tool takes for a stop).
int BioWrite(BIO* bio, const char* data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t w = ::send(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), data,
                             static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(bio);
    return static_cast<int>(w);
}

int BioRead(BIO* bio, char* into, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t r = ::recv(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), into,
                             static_cast<size_t>(size), MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    return static_cast<int>(r);
}

long BioControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO* SocketBio(int fd)
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tesmora-socket");
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioControl);
        BIO_meth_set_create(m, BioCreate);
        return m;
    }();
    BIO* bio = BIO_new(method);
    if (bio != nullptr)
        BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    return bio;
}

class Tls final : public ByteStream
{
public:
    Tls(int fd, std::unique_ptr<SSL_CTX, CtxFree> ctx, std::unique_ptr<SSL, SslFree> ssl)
        : ByteStream(fd), ctx_(std::move(ctx)), ssl_(std::move(ssl))
    {
    }
    ~Tls() override
    {
        // A close_notify if it goes out at once; nothing is waited for.
        SSL_shutdown(ssl_.get());
        ssl_.reset();
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
    }
    ssize_t Read(uint8_t* into, size_t size) override
    {
        size_t got = 0;
        ERR_clear_error();
        if (SSL_read_ex(ssl_.get(), into, size, &got) == 1)
            return static_cast<ssize_t>(got);
        const int e = SSL_get_error(ssl_.get(), 0);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
            return 0;
        Failed(e);
        return -1;
    }
    ssize_t Write(const uint8_t* data, size_t size, short& events) override
    {
        size_t put = 0;
        ERR_clear_error();
        if (SSL_write_ex(ssl_.get(), data, size, &put) == 1)
            return static_cast<ssize_t>(put);
        const int e = SSL_get_error(ssl_.get(), 0);
        if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
            events = e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            return 0;
        }
        Failed(e);
        return -1;
    }

    std::string Failure() const override { return failure_; }

private:
    // What the library knows of an end: the server's alert, say.
    void Failed(int e)
    {
        if (failure_.empty() && (e == SSL_ERROR_SSL || ERR_peek_last_error() != 0))
            failure_ = LibraryReason();
    }

    std::string failure_;
    std::unique_ptr<SSL_CTX, CtxFree> ctx_;
    std::unique_ptr<SSL, SslFree> ssl_;
};

// The index of the handshake's own state in an SSL object.
int StateIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

struct HandshakeState
{
    bool pinned = false;
    bool certificateRequested = false;
};

// With a pin the chain is not asked to lead to a CA: the fingerprint is
// compared once the handshake is done.
int Verify(int ok, X509_STORE_CTX* store)
{
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* state = static_cast<HandshakeState*>(SSL_get_ex_data(ssl, StateIndex()));
    return state != nullptr && state->pinned ? 1 : ok;
}

// Called when the server asks for a client certificate.
int CertificateRequested(SSL* ssl, void*)
{
    if (auto* state = static_cast<HandshakeState*>(SSL_get_ex_data(ssl, StateIndex())))
        state->certificateRequested = true;
    return 1;
}

std::string Normalized(const std::string& fingerprint)
{
    std::string hex;
    for (char c : fingerprint)
        if (c != ':')
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return hex;
}

std::string Sha256(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1)
        return {};
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

bool IsAddress(const std::string& host)
{
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

bool MatchesHost(X509* certificate, const std::string& host)
{
    return IsAddress(host)
               ? X509_check_ip_asc(certificate, host.c_str(), 0) == 1
               : X509_check_host(certificate, host.c_str(), host.size(), 0, nullptr) == 1;
}

TlsResult Failed(OpenError error, std::string detail = {})
{
    TlsResult r;
    r.error = error;
    r.detail = std::move(detail);
    return r;
}

// Certificates and keys are read here, not by the library: a FIFO or a
// device named as one would block the open or never end, so only a regular
// file is read, and only so much of it.
constexpr off_t kPemMax = 1 << 20;

struct PemFile
{
    std::string data;
    mode_t mode = 0;
};

std::optional<PemFile> ReadPem(const std::string& path, std::string& why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st
    {
    };
    PemFile f;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        why = "not a regular file";
    else if (st.st_size > kPemMax)
        why = "larger than 1 MB";
    else {
        f.mode = st.st_mode;
        f.data.resize(size_t(st.st_size));
        size_t got = 0;
        for (;;) {
            const ssize_t n = ::read(fd, f.data.data() + got, f.data.size() - got);
            if (n > 0 && (got += size_t(n)) < f.data.size())
                continue;
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                why = std::strerror(errno);
            break;
        }
        f.data.resize(got);
    }
    ::close(fd);
    if (!why.empty())
        return std::nullopt;
    return f;
}

struct BioFree
{
    void operator()(BIO* b) const { BIO_free(b); }
};

std::unique_ptr<BIO, BioFree> Memory(const std::string& data)
{
    return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(data.data(), int(data.size())));
}

// A key with a passphrase would have the library ask on the terminal, where
// nobody may be: it is refused instead.
int NoPassphrase(char*, int, int, void*)
{
    return 0;
}

bool UseCaFile(SSL_CTX* ctx, const std::string& data)
{
    const auto bio = Memory(data);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    int added = 0;
    while (X509* x = PEM_read_bio_X509_AUX(bio.get(), nullptr, NoPassphrase, nullptr)) {
        added += X509_STORE_add_cert(store, x) == 1;
        X509_free(x);
    }
    ERR_clear_error();
    return added > 0;
}

// The client's certificate, then any chain after it, as the file has them.
bool UseCertificateChain(SSL_CTX* ctx, const std::string& data)
{
    const auto bio = Memory(data);
    X509* leaf = PEM_read_bio_X509_AUX(bio.get(), nullptr, NoPassphrase, nullptr);
    const bool used = leaf && SSL_CTX_use_certificate(ctx, leaf) == 1;
    X509_free(leaf);
    if (!used)
        return false;
    while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr)) {
        if (SSL_CTX_add0_chain_cert(ctx, x) != 1) {
            X509_free(x);
            return false;
        }
    }
    ERR_clear_error();
    return true;
}

bool UsePrivateKey(SSL_CTX* ctx, const std::string& data)
{
    const auto bio = Memory(data);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr);
    const bool used = key && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    EVP_PKEY_free(key);
    return used && SSL_CTX_check_private_key(ctx) == 1;
}

// The context: TLS 1.2 at least, the CAs or the pin, the client's own pair.
// A key that others may read is refused before anything is sent, as ssh does.
TlsResult Context(const TlsOptions& o, std::unique_ptr<SSL_CTX, CtxFree>& ctx)
{
    ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!ctx)
        return Failed(OpenError::TlsFailed, LibraryReason());
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, Verify);
    if (!o.fingerprint.empty()) {
        const std::string hex = Normalized(o.fingerprint);
        if (hex.size() != 64 || hex.find_first_not_of("0123456789abcdef") != std::string::npos)
            return Failed(OpenError::TlsFailed,
                          "the fingerprint is not a SHA-256 (64 hexadecimal digits)");
    } else if (!o.caFile.empty()) {
        std::string why;
        const auto ca = ReadPem(o.caFile, why);
        if (!ca)
            return Failed(OpenError::TlsFailed,
                          "cannot read the CA file " + o.caFile + " (" + why + ")");
        if (!UseCaFile(ctx.get(), ca->data))
            return Failed(OpenError::TlsFailed,
                          "cannot read the CA file " + o.caFile + " (no PEM certificate in it)");
    } else {
        SSL_CTX_set_default_verify_paths(ctx.get());
    }
    if (o.certFile.empty() != o.keyFile.empty())
        return Failed(OpenError::TlsFailed, "a client certificate needs its key, and a key its "
                                            "certificate (cert= and key=)");
    if (!o.certFile.empty()) {
        std::string keyWhy, certWhy;
        const auto key = ReadPem(o.keyFile, keyWhy);
        if (key && (key->mode & 077) != 0)
            return Failed(OpenError::KeyFileOpen, o.keyFile);
        const auto cert = ReadPem(o.certFile, certWhy);
        if (!cert || !UseCertificateChain(ctx.get(), cert->data))
            return Failed(OpenError::TlsFailed,
                          "cannot read the client certificate " + o.certFile + " (" +
                              (cert ? "no PEM certificate in it" : certWhy) + ")");
        if (!key || !UsePrivateKey(ctx.get(), key->data))
            return Failed(OpenError::TlsFailed,
                          "cannot use the private key " + o.keyFile + " (" +
                              (key ? "not a PEM key without a passphrase" : keyWhy) + ")");
    }
    SSL_CTX_set_cert_cb(ctx.get(), CertificateRequested, nullptr);
    return {};
}

} // namespace

std::unique_ptr<ByteStream> PlainStream(int fd)
{
    return std::make_unique<Plain>(fd);
}

TlsResult TlsHandshake(int fd, const std::string& host, const TlsOptions& options,
                       Clock::time_point until, const std::function<void()>& idle)
{
    std::unique_ptr<SSL_CTX, CtxFree> ctx;
    TlsResult r = Context(options, ctx);
    std::unique_ptr<SSL, SslFree> ssl(ctx ? SSL_new(ctx.get()) : nullptr);
    if (r.error == OpenError::None && !ssl)
        r = Failed(OpenError::TlsFailed, LibraryReason());
    if (r.error != OpenError::None) {
        ::close(fd);
        return r;
    }
    HandshakeState state;
    state.pinned = !options.fingerprint.empty();
    SSL_set_ex_data(ssl.get(), StateIndex(), &state);
    BIO* bio = SocketBio(fd);
    if (bio == nullptr) {
        ::close(fd);
        return Failed(OpenError::TlsFailed, LibraryReason());
    }
    SSL_set_bio(ssl.get(), bio, bio);
    if (!IsAddress(host))
        SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    // Without a pin the library checks the name with the chain.
    if (!state.pinned) {
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
        if (IsAddress(host))
            X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str());
        else
            X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
    }

    bool done = false;
    while (!done) {
        ERR_clear_error();
        const int rc = SSL_connect(ssl.get());
        if (rc == 1) {
            done = true;
            break;
        }
        const int e = SSL_get_error(ssl.get(), rc);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
            break;
        if (StopRequested()) {
            r = Failed(OpenError::Interrupted);
            break;
        }
        if (Clock::now() >= until) {
            r = Failed(OpenError::NoAnswer);
            break;
        }
        pollfd p{fd, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        ::poll(&p, 1, 10);
        if (idle)
            idle();
    }
    const bool wanted = state.certificateRequested && options.certFile.empty();
    if (!done && r.error == OpenError::None) {
        const long verify = SSL_get_verify_result(ssl.get());
        if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
            r = Failed(OpenError::HostMismatch, host);
        else if (verify != X509_V_OK)
            r = Failed(OpenError::NotTrusted);
        else if (wanted)
            r = Failed(OpenError::ClientCertificateWanted);
        else
            r = Failed(OpenError::TlsFailed, LibraryReason());
    } else if (done && state.pinned) {
        X509* peer = SSL_get0_peer_certificate(ssl.get());
        if (peer == nullptr || Sha256(peer) != Normalized(options.fingerprint))
            r = Failed(OpenError::FingerprintDiffers);
        else if (!MatchesHost(peer, host))
            r = Failed(OpenError::HostMismatch, host);
    }
    r.certificateRequested = state.certificateRequested;
    r.certificateWanted = wanted;
    SSL_set_ex_data(ssl.get(), StateIndex(), nullptr);
    if (r.error != OpenError::None) {
        ssl.reset();
        ::close(fd);
        return r;
    }
    r.version = SSL_get_version(ssl.get()); // "TLSv1.3"
    if (r.version.rfind("TLSv", 0) == 0)
        r.version = "TLS " + r.version.substr(4);
    r.stream = std::make_unique<Tls>(fd, std::move(ctx), std::move(ssl));
    return r;
}

} // namespace link
} // namespace tesmora
