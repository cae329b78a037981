# Signing of the installer's own updates (docs/self-update.md).
#
# The program trusts one Ed25519 public key, built into it. A release build names the public
# half of the real key with -DCORVANE_UPDATE_PUBLIC_KEY=FILE.pem; the private half never
# comes near the build machine. Without it the build makes a key pair of its own in
# <build>/update-signing/ and signs the reference service's content with it, so that the demo
# and the tests can walk the whole road. That private key is never committed.
find_program(CV_OPENSSL_PROGRAM openssl REQUIRED)
set(CORVANE_UPDATE_PUBLIC_KEY "" CACHE FILEPATH
    "Public key (PEM) of the release signing key; empty: a key pair made for this build")

set(CV_UPDATE_SIGNING_DIR ${CMAKE_BINARY_DIR}/update-signing)
set(_cv_signing_tasks ${CMAKE_CURRENT_LIST_DIR}/UpdateSigningTasks.cmake)
if(CORVANE_UPDATE_PUBLIC_KEY)
  if(NOT EXISTS ${CORVANE_UPDATE_PUBLIC_KEY})
    message(FATAL_ERROR "CORVANE_UPDATE_PUBLIC_KEY: ${CORVANE_UPDATE_PUBLIC_KEY} does not exist")
  endif()
  set(CV_UPDATE_DEVELOPMENT_KEY OFF)
  set(CV_UPDATE_SIGNING_KEY "")
  set(CV_UPDATE_TRUSTED_KEY ${CORVANE_UPDATE_PUBLIC_KEY})
  add_custom_target(cv_update_signing_key)
else()
  # Packages of such a build are for trying only (cmake/CvPackaging.cmake names them so).
  set(CV_UPDATE_DEVELOPMENT_KEY ON)
  set(CV_UPDATE_SIGNING_KEY ${CV_UPDATE_SIGNING_DIR}/update-signing-key.pem)
  set(CV_UPDATE_TRUSTED_KEY ${CV_UPDATE_SIGNING_KEY})
  # Made once: an existing key is kept, so that rebuilds do not invalidate what it signed.
  add_custom_command(OUTPUT ${CV_UPDATE_SIGNING_KEY}
    COMMAND ${CMAKE_COMMAND} -DACTION=genkey -DOPENSSL=${CV_OPENSSL_PROGRAM}
            -DKEY=${CV_UPDATE_SIGNING_KEY} -P ${_cv_signing_tasks}
    COMMENT "Making the update signing key of this build")
  add_custom_target(cv_update_signing_key DEPENDS ${CV_UPDATE_SIGNING_KEY})
endif()

# A source file that defines kUpdatePublicKeyBytes from the trusted key, made in the calling
# directory (its target lists it among its sources).
function(cv_update_public_key_source out_var)
  set(source ${CV_UPDATE_SIGNING_DIR}/CvUpdatePublicKey.cpp)
  add_custom_command(OUTPUT ${source}
    COMMAND ${CMAKE_COMMAND} -DACTION=embed -DOPENSSL=${CV_OPENSSL_PROGRAM}
            -DKEY=${CV_UPDATE_TRUSTED_KEY} -DOUT=${source} -P ${_cv_signing_tasks}
    DEPENDS ${CV_UPDATE_TRUSTED_KEY} ${_cv_signing_tasks}
    COMMENT "Building the update public key into the program")
  set(${out_var} ${source} PARENT_SCOPE)
endfunction()

# A copy of a service content folder in which every product's installer has its signature
# beside it (when this build has a signing key); target_name builds it.
function(cv_signed_service_content target_name source_dir copy_dir)
  file(GLOB_RECURSE content_files CONFIGURE_DEPENDS ${source_dir}/*)
  set(stamp ${copy_dir}.stamp)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DACTION=sign-content -DOPENSSL=${CV_OPENSSL_PROGRAM}
            -DKEY=${CV_UPDATE_SIGNING_KEY} -DSOURCE=${source_dir} -DCOPY=${copy_dir}
            -DSTAMP=${stamp} -P ${_cv_signing_tasks}
    DEPENDS ${content_files} ${CV_UPDATE_SIGNING_KEY} ${_cv_signing_tasks}
    COMMENT "Signing the installers of ${source_dir}")
  add_custom_target(${target_name} ALL DEPENDS ${stamp})
  add_dependencies(${target_name} cv_update_signing_key)
endfunction()

# The manifest of the installer's copy that every backup carries (docs/chain-of-trust.md): our
# own two files in the stripped form a copy holds, signed like an update, beside the program as
# Deployer.sig. A development build signs it with its own key. A release build has no private
# key: it writes <build>/installer-copy/Deployer.copy, which the signing machine signs, and
# takes that raw signature back with -DCORVANE_COPY_SIGNATURE=FILE (scripts/package
# --copy-signature); one that does not fit the build stops it.
set(CORVANE_COPY_SIGNATURE "" CACHE FILEPATH
    "Release builds: the release key's signature of <build>/installer-copy/Deployer.copy")
set(CV_INSTALLER_PRODUCT "{B1509FE0-9898-43E1-BCEA-AB44A70E44EE}")
function(cv_installer_copy_signature program library)
  set(dir ${CMAKE_BINARY_DIR}/installer-copy)
  set(stamp ${dir}/manifest.stamp)
  set(signature)
  if(NOT CV_UPDATE_SIGNING_KEY AND CORVANE_COPY_SIGNATURE)
    set(signature ${CORVANE_COPY_SIGNATURE})
  endif()
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DACTION=copy-manifest -DOPENSSL=${CV_OPENSSL_PROGRAM} -DSTRIP=${CMAKE_STRIP}
            -DPROGRAM=$<TARGET_FILE:${program}> -DLIBRARY=$<TARGET_FILE:${library}> -DDIR=${dir}
            -DOUT=$<TARGET_FILE_DIR:${program}>/Deployer.sig -DPRODUCT=${CV_INSTALLER_PRODUCT}
            -DVERSION=${PROJECT_VERSION} -DTRUSTED=${CV_UPDATE_TRUSTED_KEY} -DKEY=${CV_UPDATE_SIGNING_KEY}
            -DSIGNATURE=${signature} -DSTAMP=${stamp} -P ${_cv_signing_tasks}
    DEPENDS ${program} ${library} ${_cv_signing_tasks} ${signature} ${CV_UPDATE_TRUSTED_KEY}
    COMMENT "Writing the signed manifest of the installer's copy")
  add_custom_target(cv_installer_copy_signature ALL DEPENDS ${stamp})
  add_dependencies(cv_installer_copy_signature cv_update_signing_key)
endfunction()
