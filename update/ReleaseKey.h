#pragma once

// The public half of the project's Ed25519 release key (32 bytes, hex). Every update download
// must carry a signature made with its secret half, which is kept outside the repository;
// packaging/sign_release.sh makes the signatures and checks them against this line.
inline constexpr char kReleasePublicKeyHex[] =
    "eacc23372361a044d622f079e5046ccf7540ebc4ac3dd9238fd61586b4ec2847";
