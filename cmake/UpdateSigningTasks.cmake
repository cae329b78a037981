# Build steps of the update signing, run with cmake -P (see UpdateSigning.cmake):
#   ACTION=genkey        OPENSSL KEY            a new Ed25519 private key, unless KEY exists
#   ACTION=embed         OPENSSL KEY OUT        a C++ source holding the raw public key of KEY
#   ACTION=sign-content  OPENSSL KEY SOURCE COPY STAMP
#                        COPY := SOURCE, then "<file>.sig" beside every product's installer: the
#                        signed manifest (docs/self-update.md) of its folder's GUID, the
#                        "version" of its product.json and the file's SHA-256
#   ACTION=copy-manifest OPENSSL STRIP PROGRAM LIBRARY DIR OUT PRODUCT VERSION TRUSTED STAMP
#                        [KEY | SIGNATURE]
#                        DIR/Deployer and DIR/libCvLibNav5.so: PROGRAM and LIBRARY stripped as a
#                        backup's copy holds them; DIR/Deployer.copy: their manifest; OUT: the
#                        manifest and its signature, signed with KEY, or the raw signature
#                        SIGNATURE made on the signing machine, which must hold for TRUSTED;
#                        without either OUT is removed
cmake_minimum_required(VERSION 3.25)

# out := version in the four parts a manifest names it by, without leading zeros ("1.2" gives
# "1.2.0.0").
function(four_part_version out version)
  string(REPLACE "." ";" parts "${version}")
  list(LENGTH parts count)
  while(count LESS 4)
    list(APPEND parts 0)
    math(EXPR count "${count} + 1")
  endwhile()
  set(normal)
  foreach(part IN LISTS parts)
    math(EXPR part "${part}")
    list(APPEND normal ${part})
  endforeach()
  list(JOIN normal "." joined)
  set(${out} ${joined} PARENT_SCOPE)
endfunction()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${err}${out}")
  endif()
endfunction()

if(ACTION STREQUAL "genkey")
  if(NOT EXISTS ${KEY})
    get_filename_component(dir ${KEY} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    file(CHMOD ${dir} DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    run(${OPENSSL} genpkey -algorithm ED25519 -out ${KEY}.new)
    file(CHMOD ${KEY}.new PERMISSIONS OWNER_READ OWNER_WRITE)
    file(RENAME ${KEY}.new ${KEY})
  endif()

elseif(ACTION STREQUAL "embed")
  file(READ ${KEY} pem)
  set(pubin)
  if(pem MATCHES "BEGIN PUBLIC KEY")
    set(pubin -pubin)
  endif()
  run(${OPENSSL} pkey ${pubin} -in ${KEY} -pubout -outform DER -out ${OUT}.der)
  file(READ ${OUT}.der der HEX)
  file(REMOVE ${OUT}.der)
  # An Ed25519 SubjectPublicKeyInfo is a fixed 12-byte header and the 32-byte key.
  if(NOT der MATCHES "^302a300506032b6570032100([0-9a-f]+)$")
    message(FATAL_ERROR "${KEY} is not an Ed25519 key")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${CMAKE_MATCH_1}")
  file(WRITE ${OUT}.new
    "// Made by the build from ${KEY}; do not edit.\n"
    "extern const unsigned char kUpdatePublicKeyBytes[32];\n"
    "const unsigned char kUpdatePublicKeyBytes[32] = {${bytes}};\n")
  file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
  file(REMOVE ${OUT}.new)

elseif(ACTION STREQUAL "sign-content")
  file(REMOVE_RECURSE ${COPY})
  file(MAKE_DIRECTORY ${COPY})
  file(COPY ${SOURCE}/ DESTINATION ${COPY})
  if(KEY)
    file(GLOB products LIST_DIRECTORIES true ${COPY}/*)
    foreach(product IN LISTS products)
      if(NOT EXISTS ${product}/product.json)
        continue()
      endif()
      file(READ ${product}/product.json json)
      string(JSON installer ERROR_VARIABLE no_file GET "${json}" file)
      if(no_file OR installer STREQUAL "" OR NOT EXISTS ${product}/${installer})
        continue()
      endif()
      string(JSON version ERROR_VARIABLE no_version GET "${json}" version)
      if(no_version OR NOT version MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
        message(FATAL_ERROR "${product}/product.json: an installer needs a version to be signed for")
      endif()
      # The manifest's text, byte for byte as the program expects it (CvUpdateSignature.h):
      # the version always in four parts, the GUID in upper case.
      four_part_version(version "${version}")
      get_filename_component(guid ${product} NAME)
      string(TOUPPER "${guid}" guid)
      file(SHA256 ${product}/${installer} sha256)
      set(manifest ${product}/${installer}.manifest)
      file(WRITE ${manifest}
        "Corvane update manifest 1\nproduct ${guid}\nversion ${version}\nsha256 ${sha256}\n")
      run(${OPENSSL} pkeyutl -sign -rawin -inkey ${KEY} -in ${manifest} -out ${manifest}.sig)
      execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${manifest} ${manifest}.sig
        OUTPUT_FILE ${product}/${installer}.sig RESULT_VARIABLE rc)
      file(REMOVE ${manifest} ${manifest}.sig)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "cannot write ${product}/${installer}.sig")
      endif()
    endforeach()
  endif()
  file(TOUCH ${STAMP})

elseif(ACTION STREQUAL "copy-manifest")
  file(MAKE_DIRECTORY ${DIR})
  # The forms a backup's copy holds (src/runs/CvProgramBundle.cpp strips the same way), and
  # what a package installs: stripping them again changes nothing.
  run(${STRIP} --strip-all -o ${DIR}/Deployer ${PROGRAM})
  run(${STRIP} --strip-unneeded -o ${DIR}/libCvLibNav5.so ${LIBRARY})
  four_part_version(version "${VERSION}")
  string(TOUPPER "${PRODUCT}" guid)
  set(text "Corvane installer copy 1\nproduct ${guid}\nversion ${version}\n")
  foreach(name Deployer libCvLibNav5.so)
    file(SIZE ${DIR}/${name} size)
    file(SHA256 ${DIR}/${name} sha256)
    string(APPEND text "file ${name} ${size} ${sha256}\n")
  endforeach()
  set(manifest ${DIR}/Deployer.copy)
  file(WRITE ${manifest}.new "${text}")
  file(COPY_FILE ${manifest}.new ${manifest} ONLY_IF_DIFFERENT)
  file(REMOVE ${manifest}.new)
  if(KEY)
    run(${OPENSSL} pkeyutl -sign -rawin -inkey ${KEY} -in ${manifest} -out ${manifest}.sig)
    set(signature ${manifest}.sig)
  elseif(SIGNATURE)
    execute_process(COMMAND ${OPENSSL} pkeyutl -verify -rawin -pubin -inkey ${TRUSTED}
                            -in ${manifest} -sigfile ${SIGNATURE}
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT rc EQUAL 0)
      file(REMOVE ${OUT})
      message(FATAL_ERROR "${SIGNATURE} is not the release key's signature of ${manifest}: "
                          "sign this build's manifest on the signing machine (docs/packaging.md)")
    endif()
    set(signature ${SIGNATURE})
  endif()
  if(signature)
    execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${manifest} ${signature}
      OUTPUT_FILE ${OUT}.new RESULT_VARIABLE rc)
    file(REMOVE ${manifest}.sig)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "cannot write ${OUT}")
    endif()
    file(RENAME ${OUT}.new ${OUT})
  else()
    file(REMOVE ${OUT})
  endif()
  file(TOUCH ${STAMP})

else()
  message(FATAL_ERROR "unknown ACTION '${ACTION}'")
endif()
