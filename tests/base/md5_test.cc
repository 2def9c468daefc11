// MD5 against the test suite of RFC 1321 (appendix A.5), the padding's
// edges, and the digest a MikroTik hotspot page computes.
#include "base/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Digest {
	std::string data;
	const char *hex;
};

const Digest digests[] = {
	// RFC 1321 appendix A.5
	{"", "d41d8cd98f00b204e9800998ecf8427e"},
	{"a", "0cc175b9c0f1b6a831c399e269772661"},
	{"abc", "900150983cd24fb0d6963f7d28e17f72"},
	{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
	{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
	{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
	{"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
	 "57edf4a22be3c955ac49da2e2107b67a"},
	// The padding: one block or two, and a whole block of data.
	{std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
	{std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
	{std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
	// hexMD5(chap-id + password + chap-challenge) as a MikroTik login page
	// sends it: id '\371', password "secret", the challenge
	// '\357\015\200\041\137\233\306\044\372\316\067\350\162\141\351\103'.
	{"\371secret\357\015\200\041\137\233\306\044\372\316\067\350\162\141\351\103",
	 "22518fc210ad169682a66085eeb168e2"},
};

TEST(Md5, Rfc1321SuiteAndMikrotikChallenge)
{
	for (const Digest &d : digests)
		EXPECT_EQ(md5hex(d.data), d.hex) << d.data.size() << " bytes: " << d.data;
}

}  // namespace
