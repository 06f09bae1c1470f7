#!/bin/sh
# Makes the certificates of the HTTPS test servers in FOLDER, fresh for every run (nothing secret is ever
# committed): a test CA, a server certificate it signed for 127.0.0.1, an unrelated self-signed server
# certificate, a client certificate the test CA signed, and one signed by a second, foreign CA.
# Client keys are also written as unencrypted PKCS#8 DER, the form the certificate store hands out.
set -eu
dir=${1:?usage: make-test-certs.sh FOLDER}
mkdir -p "$dir"
cd "$dir"
days=2
subj() { printf '/O=Brindle Tests/CN=%s' "$1"; }

ca() { # name cn
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$1.key" -out "$1.pem" -days $days -subj "$(subj "$2")" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
leaf() { # name cn issuer ext
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$1.key" -out "$1.csr" -subj "$(subj "$2")" 2>/dev/null
    printf '%s\n' "$4" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -out "$1.pem" -days $days \
        -extfile "$1.ext" 2>/dev/null
    openssl x509 -in "$1.pem" -outform DER -out "$1.der"
    openssl pkcs8 -topk8 -nocrypt -in "$1.key" -outform DER -out "$1.key.der"
    rm -f "$1.csr" "$1.ext"
}

ca ca "Brindle Test CA"
ca foreign-ca "Foreign Test CA"
leaf server "127.0.0.1" ca "subjectAltName=IP:127.0.0.1
extendedKeyUsage=serverAuth"
leaf client "Test Client" ca "extendedKeyUsage=clientAuth"
leaf foreign-client "Foreign Client" foreign-ca "extendedKeyUsage=clientAuth"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout selfsigned.key -out selfsigned.pem -days $days \
    -subj "$(subj 127.0.0.1)" -addext subjectAltName=IP:127.0.0.1 2>/dev/null
cat ca.pem foreign-ca.pem >both-ca.pem
