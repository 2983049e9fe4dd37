#!/bin/sh
# The build's signing step (tools/sign.sh) on copies of the built DLL, with a throwaway
# self-signed code-signing certificate whose PKCS#12 file has a password: once with the
# password from a file, once from an environment variable. Each copy's signature must
# verify (osslsigncode verify, SHA-256), and module_test must pass on it under Wine.
# Usage: signing_test.sh SOURCE-DIR WORK-DIR DLL MODULE-TEST WINE
set -eu
source_dir=$1
work=$2
dll=$3
module_test=$4
wine=$5

rm -rf "$work"
mkdir -p "$work"
cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=VELDRIAN test signer" \
    -addext "extendedKeyUsage=codeSigning" -keyout key.pem -out signer.pem 2>/dev/null
openssl rand -hex 16 >password
openssl pkcs12 -export -inkey key.pem -in signer.pem -passout file:password -out signer.p12

check() {  # DLL: the signature verifies, by SHA-256, and the module checks hold
    osslsigncode verify -CAfile signer.pem -in "$1" >verify.log 2>&1 || { cat verify.log; exit 1; }
    grep -q '^Message digest algorithm *: SHA256' verify.log || { cat verify.log; exit 1; }
    VELDRIAN_DLL="$work/$1" VELDRIAN_EXPECT_SIGNATURE=1 "$wine" "$module_test" --gtest_brief=1
}

cp "$dll" from-file.dll
sh "$source_dir/tools/sign.sh" from-file.dll signer.p12 "file:$work/password"
check from-file.dll

cp "$dll" from-env.dll
VELDRIAN_TEST_SIGN_PASSWORD=$(cat password) sh "$source_dir/tools/sign.sh" from-env.dll signer.p12 \
    env:VELDRIAN_TEST_SIGN_PASSWORD
check from-env.dll

# A wrong password signs nothing and leaves no DLL that could pass for a signed one.
cp "$dll" wrong.dll
if VELDRIAN_TEST_SIGN_PASSWORD=wrong sh "$source_dir/tools/sign.sh" wrong.dll signer.p12 \
    env:VELDRIAN_TEST_SIGN_PASSWORD 2>/dev/null; then
    echo "signed with a wrong password"
    exit 1
fi
[ ! -e wrong.dll ] || { echo "the unsigned DLL was left behind"; exit 1; }
echo "signing: both password sources sign, the signatures verify, the module checks hold"
