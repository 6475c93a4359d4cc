#pragma once

// verify's check of update.patches (verify.cpp calls it): each patch applied
// to its base, kept in the publisher's history, must give the file
// update.dat lists. Internal to brightwick-pack.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "output_folder.h"
#include "pack.h"
#include "pack_support.h"

// Applies each patch of update.patches to its base and checks the result
// against update.dat's line for the file (`lines`: name -> fields); with a
// signature, also the index against it. Scratch files start with `scratch`.
void verifyPatches(const OutputFolder& out,
                   const std::map<std::string, std::vector<std::string>>& lines,
                   const SignatureFile* signature, const std::filesystem::path& scratch,
                   ProgressEngine& engine, VerifyResult& result);
