-- zigbee_module_firmware: SWUpdate image handler for the type "zigbee-module-firmware", which
-- writes a firmware image into the hub's Zigbee coordinator module. The hub's
-- swupdate_handlers.lua loads it with
--
--     require("zigbee_module_firmware")
--
-- The image is copied to a private temporary file and handed to zigbee-module-update, the
-- update policy shared with the Mender update module: safety backup, flash, version check, and
-- the kept image put back when the new one fails its check. SWUpdate calls a handler once, with
-- no commit or rollback later, so the whole transaction happens in this call. The version to
-- check comes from the image's sw-description entry: properties: { version = "a.b.c.d"; }.
-- The handler returns non-zero on any failure, and SWUpdate reports the update failed.

require("swupdate")

local M = {}

local function quote(s)
    return "'" .. s:gsub("'", "'\\''") .. "'"
end

local function fail(message)
    swupdate.error("zigbee-module-firmware: " .. message)
    return 1
end

function M.install(image)
    local tmp = io.popen("mktemp -d 2>/dev/null")
    local dir = tmp and tmp:read("l")
    if tmp then
        tmp:close()
    end
    if not dir or dir == "" then
        return fail("cannot create a temporary directory")
    end
    local base = (image.filename or ""):gsub("[^%w._-]", "_")
    if base == "" then
        base = "image.bin"
    end
    local file = dir .. "/" .. base
    local name = (image.name and image.name ~= "") and image.name or image.filename or base
    local version = image.properties and image.properties.version
    local ok
    if image:copy2file(file) ~= 0 then
        ok = false
        swupdate.error("zigbee-module-firmware: cannot copy the image to " .. file)
    else
        local command = 'PATH="$PATH:/usr/sbin:/sbin" zigbee-module-update --as swupdate apply '
            .. quote(name) .. " " .. quote(file)
        if type(version) == "string" and version ~= "" then
            command = command .. " " .. quote(version)
        end
        ok = os.execute(command)
    end
    os.execute("rm -rf " .. quote(dir))
    if not ok then
        return fail("updating the module failed (see /var/log/zigbee-module-firmware.log)")
    end
    return 0
end

swupdate.register_handler("zigbee-module-firmware", M.install, swupdate.HANDLER_MASK.IMAGE_HANDLER)

return M
