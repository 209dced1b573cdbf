# SPDX-License-Identifier: MIT
# Included by dist.cmake: writes the static launchers already in DIST_DIR as
# one multi-platform image, an OCI image layout in DIST_DIR/oci and the same
# layout as one archive, DIST_DIR/orva-init-oci.tar, for
#   skopeo copy --all oci-archive:orva-init-oci.tar containers-storage:...
# Each platform's image is FROM scratch with one layer, /orva-init.
#
# The JSON documents are written here, compactly and with a fixed order of
# keys, so their bytes depend on nothing but the launchers, the labels and
# SOURCE_DATE_EPOCH; the two tar files come from GNU tar with sorted names,
# numeric owner 0, fixed modes and times, and the layers are compressed by
# gzip without a name or time. An image builder would put its own version
# or the time of the build into what it writes.
# Needs VERSION, COMMIT, LICENSE, SOURCE (the labels), EPOCH, TAR and GZIP.

# A JSON document from a template of one or more lines: the line breaks and
# the indentation that follows them go, and each @name@ takes the value of
# that variable.
function(orva_oci_template template out)
  string(CONFIGURE "${template}" json @ONLY)
  string(REGEX REPLACE "\n *" "" json "${json}")
  string(STRIP "${json}" json)
  set(${out} "${json}" PARENT_SCOPE)
endfunction()

# Puts `file` into the layout as a blob and sets `out` to its descriptor.
function(orva_oci_blob layout file media_type out)
  file(SHA256 ${file} digest)
  file(SIZE ${file} size)
  file(COPY_FILE ${file} ${layout}/blobs/sha256/${digest})
  orva_oci_template([=[
    {"mediaType":"@media_type@","digest":"sha256:@digest@","size":@size@}
  ]=] descriptor)
  set(${out} "${descriptor}" PARENT_SCOPE)
endfunction()

# The same for the JSON document `json`, written through the file `scratch`.
function(orva_oci_json layout scratch json media_type out)
  file(WRITE ${scratch} "${json}")
  orva_oci_blob(${layout} ${scratch} ${media_type} descriptor)
  set(${out} "${descriptor}" PARENT_SCOPE)
endfunction()

# A tar that comes out the same wherever and whenever it is made.
function(orva_oci_tar out dir)
  execute_process(
    COMMAND ${TAR} --create --file=${out} --format=gnu --sort=name
            --mtime=@${EPOCH} --owner=0 --group=0 --numeric-owner ${ARGN}
    WORKING_DIRECTORY ${dir}
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "tar ${out}: ${result}")
  endif()
endfunction()

# `platforms` holds <arch>=<os>/<architecture>[/<variant>] items, one for
# each file orva-init-static-<arch> in dist_dir, in the index's order.
# `work` is a scratch directory. Sets `out` to the index's digest.
function(orva_write_oci_image dist_dir platforms work out)
  foreach(value IN ITEMS "${VERSION}" "${COMMIT}" "${LICENSE}" "${SOURCE}")
    if(value STREQUAL "" OR value MATCHES "[\"\\\\]")
      message(FATAL_ERROR "image label '${value}': empty, or not plain text")
    endif()
  endforeach()
  set(ENV{SOURCE_DATE_EPOCH} ${EPOCH})
  string(TIMESTAMP created "%Y-%m-%dT%H:%M:%SZ" UTC)
  set(index_type application/vnd.oci.image.index.v1+json)
  set(manifest_type application/vnd.oci.image.manifest.v1+json)

  set(layout ${dist_dir}/oci)
  file(REMOVE_RECURSE ${layout} ${work})
  file(MAKE_DIRECTORY ${layout}/blobs/sha256 ${work})
  set(manifests "")
  foreach(item IN LISTS platforms)
    if(NOT item MATCHES "^([^=]+)=([^/]+)/([^/]+)/?(.*)$")
      message(FATAL_ERROR "image: bad platform '${item}'")
    endif()
    set(arch ${CMAKE_MATCH_1})
    set(os ${CMAKE_MATCH_2})
    set(architecture ${CMAKE_MATCH_3})
    set(variant ${CMAKE_MATCH_4})
    orva_oci_template([=["architecture":"@architecture@","os":"@os@"]=]
                      platform)
    if(variant)
      string(APPEND platform ",\"variant\":\"${variant}\"")
    endif()

    set(layer ${work}/layer-${arch}.tar)
    orva_oci_tar(${layer} ${dist_dir} --mode=0755
                 --transform=s|.*|orva-init| orva-init-static-${arch})
    execute_process(COMMAND ${GZIP} -9 --no-name --stdout ${layer}
                    OUTPUT_FILE ${layer}.gz RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "gzip ${layer}: ${result}")
    endif()
    file(SHA256 ${layer} diff_id)
    orva_oci_blob(${layout} ${layer}.gz
                  application/vnd.oci.image.layer.v1.tar+gzip layer)

    orva_oci_template([=[
      {"created":"@created@",@platform@,
       "config":{
         "Entrypoint":["/orva-init","--"],
         "Labels":{
           "org.opencontainers.image.licenses":"@LICENSE@",
           "org.opencontainers.image.revision":"@COMMIT@",
           "org.opencontainers.image.source":"@SOURCE@",
           "org.opencontainers.image.version":"@VERSION@"}},
       "rootfs":{"type":"layers","diff_ids":["sha256:@diff_id@"]},
       "history":[{"created":"@created@",
                   "created_by":"COPY orva-init-static-@arch@ /orva-init"}]}
    ]=] json)
    orva_oci_json(${layout} ${work}/blob "${json}"
                  application/vnd.oci.image.config.v1+json config)
    orva_oci_template([=[
      {"schemaVersion":2,"mediaType":"@manifest_type@",
       "config":@config@,"layers":[@layer@]}
    ]=] json)
    orva_oci_json(${layout} ${work}/blob "${json}" ${manifest_type} manifest)
    # The descriptor, with the platform the engines choose it by.
    string(REGEX REPLACE "}$" ",\"platform\":{${platform}}}" manifest
           "${manifest}")
    string(APPEND manifests ",${manifest}")
  endforeach()
  string(SUBSTRING "${manifests}" 1 -1 manifests)

  orva_oci_template([=[
    {"schemaVersion":2,"mediaType":"@index_type@","manifests":[@manifests@]}
  ]=] json)
  orva_oci_json(${layout} ${work}/blob "${json}" ${index_type} index)
  string(REGEX MATCH "sha256:[0-9a-f]+" digest "${index}")
  # The layout's own index names the image by its tag.
  orva_oci_template([=[
    ,"annotations":{"org.opencontainers.image.ref.name":"@VERSION@"}}
  ]=] tag)
  string(REGEX REPLACE "}$" "${tag}" index "${index}")
  orva_oci_template([=[
    {"schemaVersion":2,"mediaType":"@index_type@","manifests":[@index@]}
  ]=] json)
  file(WRITE ${layout}/index.json "${json}")
  file(WRITE ${layout}/oci-layout "{\"imageLayoutVersion\":\"1.0.0\"}")
  file(REMOVE_RECURSE ${work})

  # Directories 0755 and files 0644, whatever the umask was.
  orva_oci_tar(${dist_dir}/orva-init-oci.tar ${layout} --mode=u=rwX,go=rX
               blobs index.json oci-layout)
  set(${out} ${digest} PARENT_SCOPE)
endfunction()
